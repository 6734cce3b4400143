#include "pane_spawn.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "../core/text.hpp"
#include "run_tmux.hpp"

namespace termloom {
namespace {

// O_PATH opens a folder without reading it (and keeps the module at
// glibc 2.28, where stat's symbol is newer).
bool is_directory(const std::string& path) {
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

constexpr std::string_view kOption = "history-limit";
// show-options without -v prints the name before the value.
constexpr std::string_view kShownPrefix = "history-limit ";
// history-limit when nothing sets it, on every release users run.
constexpr std::uint32_t kDefaultLimit = 2000;

// What a level holds: a number of lines; for a session, none when it takes
// the global value.
using LevelValue = std::optional<std::uint32_t>;

void add_level(std::vector<Arg>& args, const HistoryLimitLevel& level) {
    if (level.session_target) {
        args.insert(args.end(), {word("-t"), value(*level.session_target)});
    } else {
        args.push_back(word("-g"));
    }
}

// show-options of the level: one line, or none for a session without a
// value of its own.
void add_show(std::vector<Arg>& args, const HistoryLimitLevel& level) {
    args.push_back(word("show-options"));
    add_level(args, level);
    args.push_back(fixed_operand(kOption));
}

// set-option putting `wanted` in place (-u: a session takes the global value).
void add_set(std::vector<Arg>& args, std::deque<std::string>& texts,
             const HistoryLimitLevel& level, LevelValue wanted) {
    args.push_back(word("set-option"));
    if (!wanted) args.push_back(word("-u"));
    add_level(args, level);
    args.push_back(fixed_operand(kOption));
    if (wanted) args.push_back(fixed_operand(texts.emplace_back(std::to_string(*wanted))));
}

// The value a line of show-options gives; nothing for another line.
std::optional<LevelValue> shown_value(std::string_view line) {
    if (!line.starts_with(kShownPrefix)) return std::nullopt;
    auto number = parse_u32(trim(line.substr(kShownPrefix.size())));
    if (!number) return std::nullopt;
    return LevelValue(*number);
}

// The level's value now; nothing when it cannot be read (no server runs,
// most likely).
Result<std::optional<LevelValue>> read_value(const SocketPath& socket,
                                             const HistoryLimitLevel& level) {
    std::vector<Arg> args;
    add_show(args, level);
    auto output = successful_output(tmux_argv(socket, args), Capture::Stdout);
    if (!output) return std::unexpected(output.error());
    if (!*output) return std::nullopt;
    const std::string text = decode_lossy(std::move((*output)->stdout_bytes));
    const auto lines = listed_lines(text);
    if (lines.empty()) {
        if (level.session_target) return LevelValue();  // none of its own
        return std::nullopt;
    }
    return shown_value(lines.front());
}

std::string describe(const HistoryLimitLevel& level, LevelValue wanted) {
    std::string text = level.session_target ? "the session's history-limit"
                                            : "the global history-limit";
    text += " could not be put back to ";
    text += wanted ? std::to_string(*wanted) : std::string("the global value");
    return text;
}

// Puts `wanted` back in a run of its own. A failure is no error when no
// server runs any more: it took its options with it.
Result<void> put_back(const SocketPath& socket, const HistoryLimitLevel& level, LevelValue wanted) {
    std::deque<std::string> texts;
    std::vector<Arg> args;
    add_set(args, texts, level, wanted);
    auto output = output_of(tmux_argv(socket, args), Capture::Stderr, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (succeeded(*output)) return {};
    auto running = status_of(tmux_argv(socket, {word("list-sessions")}));
    if (!running) return std::unexpected(running.error());
    if (!*running) return {};
    return runtime_error(describe(level, wanted) + ": " +
                         std::string(trim(decode_lossy(output->stderr_bytes))));
}

}  // namespace

// tmux starts a pane whose directory is missing in another one, and says
// nothing. A relative path is the client's: ours here, on a remote host
// that of the shell that runs tmux there (its home, as a rule).
Result<std::optional<FormatText>> start_directory(const SocketPath& socket,
                                                  const std::optional<std::string>& directory) {
    if (!directory) return std::nullopt;
    auto host = host_of(socket);
    if (!host) return value_error(std::move(host.error().text));
    bool found = false;
    if (host->remote()) {
        auto tested = status_of(HostCommand{socket, {"test", "-d", *directory}});
        if (!tested) return std::unexpected(tested.error());
        found = *tested;
    } else {
        found = is_directory(*directory);
    }
    if (!found) return value_error("no such directory: " + quote_text(*directory));
    auto written = format_text_on_host(socket, *directory);
    if (!written) return std::unexpected(written.error());
    return std::move(*written);
}

void add_start_directory(std::vector<Arg>& args, const std::optional<FormatText>& directory) {
    if (directory) args.insert(args.end(), {word("-c"), name_value(*directory)});
}

void add_environment(std::vector<Arg>& args, std::deque<std::string>& texts,
                     const std::optional<Environment>& environment) {
    if (!environment) return;
    for (const auto& [name, text] : environment->variables) {
        // tmux cuts the entry at its first "=" and takes the rest as it is.
        args.insert(args.end(), {word("-e"), value(texts.emplace_back(name + "=" + text))});
    }
}

void add_size(std::vector<Arg>& args, std::deque<std::string>& texts,
              const std::optional<std::uint32_t>& width, const std::optional<std::uint32_t>& height) {
    if (width) {
        args.insert(args.end(), {word("-x"), word(texts.emplace_back(std::to_string(*width)))});
    }
    if (height) {
        args.insert(args.end(), {word("-y"), word(texts.emplace_back(std::to_string(*height)))});
    }
}

Result<CommandOutput> create_with_history_limit(const SocketPath& socket,
                                                const HistoryLimitLevel& level,
                                                std::uint32_t limit, std::span<const Arg> creation,
                                                std::string_view failure_prefix,
                                                std::string_view spawn_prefix,
                                                bool starts_server) {
    auto before = read_value(socket, level);
    if (!before) return std::unexpected(before.error());
    // Unknown: tmux's own default globally, none of its own for a session.
    const LevelValue guessed = *before                ? **before
                               : level.session_target ? LevelValue()
                                                      : LevelValue(kDefaultLimit);

    std::deque<std::string> texts;
    std::vector<Arg> args;
    add_show(args, level);
    args.push_back(command_separator());
    add_set(args, texts, level, limit);
    args.push_back(command_separator());
    args.insert(args.end(), creation.begin(), creation.end());
    args.push_back(command_separator());
    add_set(args, texts, level, guessed);
    HostCommand command = tmux_argv(socket, args);
    auto output = starts_server ? output_starting_server(std::move(command), spawn_prefix)
                                : output_of(command, Capture::Both, spawn_prefix);
    if (!output) {
        // Interrupted, or its end not known: how far it got is not known either.
        (void)put_back(socket, level, guessed);
        return std::unexpected(output.error());
    }

    // The first line is the value as the run found it, unless a session had
    // none of its own; the creation's lines start with a digit or are a
    // session's name, which follows the global value's line.
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    const std::size_t line_end = text.find('\n');
    std::optional<LevelValue> shown = shown_value(std::string_view(text).substr(0, line_end));
    if (shown) {
        text.erase(0, line_end == std::string::npos ? text.size() : line_end + 1);
    } else if (level.session_target && succeeded(*output)) {
        shown = LevelValue();  // show-options ran and printed nothing
    }
    output->stdout_bytes = std::move(text);
    const LevelValue found = shown.value_or(guessed);

    if (succeeded(*output)) {
        if (found == guessed) return std::move(*output);
        auto fixed = put_back(socket, level, found);
        if (!fixed && fixed.error().kind == ErrorKind::Interrupted) {
            return std::unexpected(fixed.error());
        }
        if (!fixed) return runtime_error("the new pane was made, but " + fixed.error().message);
        return std::move(*output);
    }
    auto fixed = put_back(socket, level, found);
    if (!fixed && fixed.error().kind == ErrorKind::Interrupted) return std::unexpected(fixed.error());
    if (!fixed) {
        return runtime_error(std::string(failure_prefix) +
                             std::string(trim(decode_lossy(output->stderr_bytes))) + "; and " +
                             fixed.error().message);
    }
    return std::move(*output);
}

}  // namespace termloom
