// The Pane handle and the operations on its place in the layout and the
// process running in it.
#include "pane.hpp"

#include <deque>

#include "../core/printable_text.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane_spawn.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

std::optional<std::string_view> resize_flag(std::string_view direction) {
    if (direction == "left") return "-L";
    if (direction == "right") return "-R";
    if (direction == "up") return "-U";
    if (direction == "down") return "-D";
    return std::nullopt;
}

// `sh -lc '<command>` LF `exec "$SHELL"'`: the shell named by SHELL replaces
// the command when it ends, so the pane stays. A line feed, not "; ", ends
// the command, so that a trailing "&" or ";" or a "#" comment in it cannot
// swallow or break the exec.
std::string kept_command(std::string_view command) {
    return "sh -lc " + shell_quoted(std::string(command) + "\nexec \"$SHELL\"");
}

}  // namespace

std::optional<std::array<std::string_view, 3>> listing_fields(std::string_view line) {
    auto fields = split_record(trim_start(line), '|', 3, 2);
    if (fields.size() != 3) return std::nullopt;
    return std::array{fields[0], fields[1], fields[2]};
}

Result<Pane> make(std::string session_name, std::uint32_t window_index, std::uint32_t pane_index,
                  std::string pane_id, std::string title, SocketPath socket) {
    if (auto known = known_address(socket); !known) return std::unexpected(known.error());
    return Pane{std::move(session_name), window_index, pane_index, std::move(pane_id),
                std::move(title), std::move(socket)};
}

Result<bool> kill(const Pane& pane) {
    return action_run(tmux_argv(pane.socket, {word("kill-pane"), word("-t"), value(pane.pane_id)}),
                      "tmux kill-pane failed: ");
}

Result<bool> select(const Pane& pane) {
    return action_run(
        tmux_argv(pane.socket, {word("select-pane"), word("-t"), value(pane.pane_id)}),
        "select pane failed: ");
}

Result<bool> resize(const Pane& pane, std::string direction, std::uint32_t amount) {
    auto flag = resize_flag(direction);
    if (!flag) return runtime_error("direction must be one of: left, right, up, down");
    const std::string cells = std::to_string(amount);
    return action_run(tmux_argv(pane.socket, {word("resize-pane"), word(*flag), word("-t"),
                                              value(pane.pane_id), fixed_operand(cells)}),
                      "tmux resize-pane failed: ");
}

Result<Pane> split(const Pane& pane, bool horizontal, std::optional<std::string> command,
                   bool keep, std::optional<std::uint32_t> size, std::optional<std::uint32_t> percent,
                   std::optional<std::string> directory, std::optional<Environment> environment,
                   std::optional<std::uint32_t> history_limit) {
    constexpr std::string_view kFailed = "tmux split-window failed: ";
    // tmux makes a pane of 0 cells or 0% one cell wide, and one of more than
    // 100% as large as fits (3.5a refuses it): neither is what was asked.
    if (size && percent) return value_error("split: give size or percent, not both");
    if (size && *size == 0) return value_error("split: size must be at least 1 cell");
    if (percent && (*percent == 0 || *percent > 100)) {
        return value_error("split: percent must be 1 to 100, not " + std::to_string(*percent));
    }
    auto start = start_directory(pane.socket, directory);
    if (!start) return std::unexpected(start.error());
    std::deque<std::string> texts;
    std::vector<Arg> args = {word("split-window"), word(horizontal ? "-h" : "-v"), word("-t"),
                             value(pane.pane_id), word("-P"), word("-F"), word(kListFormat)};
    // -l N% on every release from 3.1c; -p is gone from the manual since.
    if (size || percent) {
        const std::string length = size ? std::to_string(*size) : std::to_string(*percent) + "%";
        args.insert(args.end(), {word("-l"), word(texts.emplace_back(length))});
    }
    add_start_directory(args, *start);
    add_environment(args, texts, environment);
    if (command && keep) {
        args.push_back(operand(texts.emplace_back(kept_command(*command))));
    } else if (command) {
        args.push_back(operand(*command));
    }
    // The new pane reads the history-limit of the session tmux finds for the
    // pane id, and set-option finds the same one in the same run.
    auto output = history_limit
                      ? create_with_history_limit(pane.socket, HistoryLimitLevel{pane.pane_id},
                                                  *history_limit, args, kFailed, kSpawnPrefix)
                      : output_of(tmux_argv(pane.socket, args), Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(kFailed, *output, Stderr::Trimmed);
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    std::string_view line = without_line_end(trim_start(text));
    auto fields = listing_fields(line);
    if (!fields) return runtime_error("unexpected split-window output: " + quote_text(line));
    auto pane_index = parse_u32((*fields)[0]);
    if (!pane_index) return bad_field("pane_index", (*fields)[0], pane_index.error());
    return Pane{pane.session_name, pane.window_index, *pane_index, std::string((*fields)[1]),
                std::string((*fields)[2]), pane.socket};
}

Result<bool> respawn(const Pane& pane, std::optional<std::string> command, bool kill) {
    std::vector<Arg> args = {word("respawn-pane"), word("-t"), value(pane.pane_id)};
    if (kill) args.push_back(word("-k"));
    if (command) args.push_back(operand(*command));
    return action_run(tmux_argv(pane.socket, args), "tmux respawn-pane failed: ");
}

Result<bool> bash_shell(const Pane& pane, bool respawn) {
    constexpr std::string_view kFailed = "tmux change shell failed: ";
    if (respawn) {
        return action_run(tmux_argv(pane.socket, {word("respawn-pane"), word("-k"), word("-t"),
                                                  value(pane.pane_id), fixed_operand("bash")}),
                          kFailed);
    }
    return action_run(tmux_argv(pane.socket, {word("send-keys"), word("-t"), value(pane.pane_id),
                                               fixed_operand("exec bash"), fixed_operand("Enter")}),
                      kFailed);
}

Result<void> rename(Pane& pane, std::string title) {
    // tmux would report success and keep the old title.
    if (auto refused = first_unprintable(title)) {
        const bool ascii = static_cast<unsigned char>(refused->front()) < 0x80;
        return value_error(std::string(ascii ? "tmux keeps no pane title holding "
                                             : "tmux 3.3a keeps no pane title holding ") +
                           quote_text(*refused) + ": " + quote_text(title));
    }
    auto written = format_text_on_host(pane.socket, title);
    if (!written) return std::unexpected(written.error());
    auto renamed = action_run(tmux_argv(pane.socket, {word("select-pane"), word("-T"),
                                                      name_value(*written), word("-t"),
                                                      value(pane.pane_id)}),
                              "tmux select-pane -T failed: ");
    if (!renamed) return std::unexpected(renamed.error());
    pane.title = std::move(title);
    return {};
}

LastCommand last_command(const Pane& pane) { return LastCommand{pane.pane_id, pane.socket}; }

std::string repr(const Pane& pane) {
    return "Pane(session_name=" + quote_text(pane.session_name) +
           ", window_index=" + std::to_string(pane.window_index) +
           ", pane_index=" + std::to_string(pane.pane_index) +
           ", pane_id=" + quote_text(pane.pane_id) + ", title=" + quote_text(pane.title) +
           ", socket=" + display_optional(pane.socket) + ")";
}

}  // namespace termloom::pane_ops
