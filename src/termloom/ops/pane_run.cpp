// Pane.run: a shell command typed at the prompt and followed to its end.
//
// The shell prints a start line before the command and an end line with its
// status after it; the output is what the pane shows between the two. Both
// lines hold a token new for every call, and are written so that the typed
// line never holds them: `printf '\r%s%s\033[K\n' TOKEN +` prints "TOKEN+"
// (at the start of its row, the rest of the row cleared: a line editor
// confused by the locale may have left the cursor in the typed line). The
// command goes through eval, so that a syntax error in it is its own failure
// (status 2 or 1) and still ends in the end line, and so that comments,
// here-documents and several lines work; eval runs in the shell itself, so
// cd and variables persist. In bash, `history -s` puts the caller's command
// in the place of the typed line in the history.
#include <random>

#include "../core/text.hpp"
#include "pane.hpp"
#include "pane_view.hpp"

namespace termloom::pane_ops {
namespace {

// The first look may show the start line already; otherwise this many
// lines above it are read, beyond what the history grew by.
constexpr std::uint32_t kExtraLines = 10;

std::string new_token() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    constexpr char digits[] = "0123456789abcdef";
    std::string token = "tl";
    std::uint64_t bits = generator();
    for (int i = 0; i < 16; ++i, bits >>= 4) token += digits[bits & 15];
    return token;
}

// The keys that make a line editor (readline, zle) or the terminal's own
// line discipline hold exactly `line`: each control character behind a C-v,
// which inserts the next key as it is, and a line feed as Enter.
std::string typed_form(std::string_view line) {
    std::string out;
    for (char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += '\r';
            continue;
        }
        if (byte < 0x20 || byte == 0x7f) out += '\x16';
        out += c;
    }
    return out;
}

// The command is typed once, into a variable that the eval unsets first.
// dash abandons the rest of the line after a syntax error in a plain eval;
// `command eval` makes it an error of that one command. zsh's `command`
// runs only programs, and its eval already behaves so.
std::string typed_line(std::string_view command, const std::string& token) {
    constexpr std::string_view kEval =
        "\"unset __tl_run;$__tl_run\";;";
    std::string line = "__tl_run=" + shell_quoted(command);
    line += ";[ \"${BASH_VERSION-}\" ]&&shopt -qo history&&history -s \"$__tl_run\"";
    line += ";printf '\\r%s%s\\033[K\\n' " + token + " +";
    line += ";case ${ZSH_VERSION-} in '')command eval ";
    line += kEval;
    line += "*)eval ";
    line += kEval;
    line += "esac;printf '\\n%s=%s\\n' " + token + " \"$?\"";
    return line;
}

std::string_view without_trailing_blanks(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return line;
}

// The status on the end line, when `line` is one.
std::optional<std::uint32_t> end_status(std::string_view line, std::string_view end_prefix) {
    line = without_trailing_blanks(line);
    if (!line.starts_with(end_prefix)) return std::nullopt;
    auto status = parse_u32(line.substr(end_prefix.size()));
    if (!status || *status > 255) return std::nullopt;
    return *status;
}

struct Finished {
    std::uint32_t status = 0;
    std::size_t end_line = 0;  // index of the end line in `lines`
};

// The output between the start line and the end line at `end`, or none when
// the start line is not among `lines`. The start line may end a joined
// line, when the row it overwrote continued a wrapped one. The line just before the end line is
// the command's unfinished last line, empty when its output ended with a
// line feed (or was empty).
std::optional<std::string> output_before(const std::vector<std::string_view>& lines,
                                         std::size_t end, std::string_view start_line) {
    std::size_t start = end;
    while (start > 0 && !without_trailing_blanks(lines[start - 1]).ends_with(start_line)) --start;
    if (start == 0) return std::nullopt;
    std::size_t stop = end;
    if (stop > start && lines[stop - 1].empty()) --stop;
    std::string out;
    for (std::size_t i = start; i < stop; ++i) {
        if (i > start) out += '\n';
        out += lines[i];
    }
    return out;
}

}  // namespace

Result<CommandResult> run(const Pane& pane, std::string command, std::optional<Seconds> timeout) {
    const auto deadline = deadline_after(timeout);
    const std::string token = new_token();
    const std::string start_line = token + "+";
    const std::string end_prefix = token + "=";
    // The first view and the keys in one tmux process: a pane that is gone
    // gets no keys, and one whose process has ended ignores them.
    const std::string keys = typed_form(typed_line(command, token));
    const auto send = typing(pane, keys, true);
    auto first = live_view(pane, {.joined = true, .then = send});
    if (!first) return std::unexpected(first.error());
    const ViewOptions joined{.joined = true};

    const std::string exited = " exited while running " + quote_text(command);
    PaneView last = std::move(*first);
    std::optional<Finished> finished;
    auto look = [&]() -> Result<Look> {
        auto view = live_view(pane, joined, exited);
        if (!view) return std::unexpected(view.error());
        const bool changed = view->screen.text != last.screen.text;
        last = std::move(*view);
        auto lines = split_lines(last.screen.text);
        for (std::size_t i = lines.size(); i-- > 0;) {
            if (auto status = end_status(lines[i], end_prefix)) {
                finished = Finished{*status, i};
                return Look{Progress::Done, {}};
            }
        }
        return Look{changed ? Progress::Changed : Progress::Unchanged, {}};
    };
    const std::uint64_t history_before = first->history_size;
    auto done = wait_until(deadline, wake_sources(last), look);
    if (!done) return std::unexpected(done.error());
    if (!*done) {
        return timeout_error(quote_text(command) + " did not finish within " +
                             seconds_text(*timeout) + " seconds" +
                             last_screen_lines(last.screen.text));
    }

    auto lines = split_lines(last.screen.text);
    auto output = output_before(lines, finished->end_line, start_line);
    // The start line scrolled into the history: read back as far as the
    // history grew, and then, since a full history stops growing, all of it.
    const std::uint64_t grown = last.history_size >= history_before
                                    ? last.history_size - history_before
                                    : last.history_size;
    const std::uint64_t above = grown + last.screen.height + kExtraLines;
    for (bool whole : {false, true}) {
        if (output) break;
        ViewOptions wider{.joined = true, .whole_history = whole};
        wider.lines_above = static_cast<std::uint32_t>(std::min<std::uint64_t>(above, UINT32_MAX));
        auto wide = live_view(pane, wider, exited);
        if (!wide) return std::unexpected(wide.error());
        auto all = split_lines(wide->screen.text);
        for (std::size_t i = all.size(); i-- > 0 && !output;) {
            if (end_status(all[i], end_prefix)) output = output_before(all, i, start_line);
        }
    }
    if (!output) {
        return runtime_error("output lost: " + quote_text(command) + " printed more than the "
                             "pane's history holds (exit status " +
                             std::to_string(finished->status) + "); raise history-limit");
    }
    return CommandResult{std::move(command), finished->status, std::move(*output)};
}

}  // namespace termloom::pane_ops

namespace termloom::command_result_ops {

std::string repr(const CommandResult& r) {
    return "CommandResult(command=" + quote_text(r.command) + ", status=" +
           std::to_string(r.status) + ", output=" + quote_text(r.output) + ")";
}

}  // namespace termloom::command_result_ops
