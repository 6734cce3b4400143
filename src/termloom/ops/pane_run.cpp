// Pane.run: a shell command typed at the prompt and followed to its end.
//
// The shell prints a start line before the command and an end line with its
// status after it; the output is what the pane shows between the two. Both
// lines hold a token new for every call, which no file and no typed line
// holds whole ("tl" and its digits are printed as two words). Each line is
// printed at the start of its row with the rest of the row cleared, so that
// old text on the row (a cursor moved up, a confused line editor) cannot
// hide it; the start line also clears the screen below it, where the
// command's output goes, and the end line first clears the rest of the
// command's last row.
//
// The caller's command goes into a private file, sourced by a second file
// that prints the two lines around it; the typed line only sources the
// second one. So the typed line stays short whatever the command's length
// (a shell without a line editor cuts lines at 4,095 bytes, tmux its
// messages at about 16 KB), and the command runs in the shell itself: cd and
// variables persist. A syntax error in a sourced file ends that file alone,
// in every shell, so the end line still comes. Our own lines run with -x and
// -v off, their errors thrown away, and through `command` (zsh: `builtin`),
// so that neither a trace nor an alias or function of the same name gets in
// the way; the command itself runs with the caller's flags. In bash,
// `history -s` puts the caller's command in the place of the typed line in
// the history.
//
// Runs on one pane take turns. Before typing, the pane's foreground program
// must be a shell; copy mode is left, and what is on the command line is
// erased (end of line, then kill to its start: readline, zle, the ksh
// editors and the terminal's own line all read it so).
#include <atomic>
#include <random>

#include <unistd.h>

#include "../core/foreground.hpp"
#include "../core/private_files.hpp"
#include "../core/process.hpp"
#include "../core/text.hpp"
#include "../core/turns.hpp"
#include "pane.hpp"
#include "pane_view.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

// The first look may show the start line already; otherwise this many
// lines above it are read, beyond what the history grew by.
constexpr std::uint32_t kExtraLines = 10;
// A foreground program other than a shell gets this many looks this many
// milliseconds apart to end before run refuses the pane.
constexpr int kEndingChecks = 10;
constexpr int kEndingPause = 5;

std::string new_digits() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    constexpr char digits[] = "0123456789abcdef";
    std::string out;
    std::uint64_t bits = generator();
    for (int i = 0; i < 16; ++i, bits >>= 4) out += digits[bits & 15];
    return out;
}

// How our own lines call a builtin past aliases and functions.
std::string_view builtin_prefix(std::string_view shell) {
    return shell == "zsh" ? "\\builtin " : "\\command ";
}

// A command printing `lead`, the token, `mark` and the value of `word`, the
// rest of the row cleared, a line feed and `after`. mksh has no printf of its own: its print.
std::string marker_line(std::string_view shell, std::string_view lead, const std::string& digits,
                        std::string_view mark, std::string_view word, std::string_view after) {
    const std::string c(builtin_prefix(shell));
    if (shell == "mksh" || shell == "lksh") {
        return c + "print -n -- '" + std::string(lead) + "tl''" + digits + std::string(mark) + "'" +
               std::string(word) + "'\\033[K\\n" + std::string(after) + "'";
    }
    return c + "printf '" + std::string(lead) + "%s%s" + std::string(mark) +
           (word.empty() ? "" : "%s") + "\\033[K\\n" + std::string(after) + "' tl " + digits +
           (word.empty() ? "" : " ") +
           std::string(word);
}

bool is_ksh93(std::string_view shell) { return shell == "ksh" || shell == "ksh93"; }

// The file the typed line sources: the start line, the caller's command
// (sourced with the caller's -x and -v back on), the end line.
std::string wrapper_file(std::string_view shell, std::string_view command,
                         const std::string& digits, const std::string& command_file) {
    const std::string c(builtin_prefix(shell));
    std::string out = "{ __tl_f=$-;" + c + "set +xv;";
    if (shell == "bash") {
        // The typed line is the current history entry: it gives way to the command.
        out += "\\builtin shopt -qo history&&{ \\builtin history -d $HISTCMD;";
        out += "\\builtin history -s " + shell_quoted(command) + ";};";
    }
    out += marker_line(shell, "\\r", digits, "+", {}, "\\033[J") + ";} 2>/dev/null\n";
    // One line: read whole before the command runs, so that -v, which the
    // command may turn on, does not show it.
    out += c + ". " + command_file + ";";
    out += "{ __tl_s=$? __tl_g=$-${__tl_f-};" + c + "set +xv;";
    if (is_ksh93(shell)) out += "__tl_s=${__tl_k-$__tl_s};" + c + "unset __tl_k;";
    out += marker_line(shell, "\\033[K\\n\\r", digits, "=", "\"$__tl_s\"", {}) + ";";
    out += "case $__tl_g in *v*)" + c + "set -v;;esac;";
    out += "case $__tl_g in *x*)" + c + "set -x;;esac;";
    out += c + "unset __tl_s __tl_f __tl_g;} 2>/dev/null\n";
    return out;
}

// Whether the shell writes the trace of -x to the stderr of the command
// traced, so that our lines' traces can be thrown away: zsh, ksh93, mksh and
// posh write it elsewhere, and trace the redirection itself.
bool traces_follow_stderr(std::string_view shell) {
    return shell == "bash" || shell == "dash" || shell == "sh" || shell == "ash" || shell == "busybox";
}

// The caller's command, after a prefix on its first line that turns the
// caller's -v back on, and -x where its trace can be kept to the command (it
// also clears the saved flags, which the end line otherwise restores, as
// after a syntax error on that line). Elsewhere the command runs untraced.
std::string command_file_text(std::string_view shell, std::string_view command) {
    const std::string c(builtin_prefix(shell));
    std::string out = "case $__tl_f in *v*)" + c + "set -v;;esac;";
    if (traces_follow_stderr(shell)) {
        out += "case $__tl_f in *x*)__tl_f=;" + c + "set -x;;*)__tl_f=;;esac;";
    }
    out += command;
    out += '\n';
    // ksh93 cuts the status of `.` to 8 bits, and 256+N (signal N) with it.
    if (is_ksh93(shell)) out += "{ __tl_k=$?;} 2>/dev/null\n";
    return out;
}

std::string_view without_trailing_blanks(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return line;
}

// The status on the end line, when `line` holds one. ksh93 reports the
// status of a command killed by signal N as 256+N: that is 128+N here.
std::optional<std::uint32_t> end_status(std::string_view line, std::string_view end_prefix) {
    const auto at = line.rfind(end_prefix);
    if (at == std::string_view::npos) return std::nullopt;
    // The row is blank after the status; a joined line may go on after it.
    line.remove_prefix(at + end_prefix.size());
    line = line.substr(0, line.find_first_of(" \t"));
    auto status = parse_u32(line);
    if (!status || *status > 511) return std::nullopt;
    return *status > 255 ? *status - 128 : *status;
}

struct Finished {
    std::uint32_t status = 0;
    std::size_t end_line = 0;  // index of the end line in `lines`
};

bool is_start(std::string_view line, std::string_view start_line) {
    return without_trailing_blanks(line).ends_with(start_line);
}

// The lines from `start` to the end line at `end`. The line just before the
// end line is the command's unfinished last line, empty when its output
// ended with a line feed (or was empty).
std::string lines_between(const std::vector<std::string_view>& lines, std::size_t start,
                          std::size_t end) {
    std::size_t stop = end;
    if (stop > start && lines[stop - 1].empty()) --stop;
    std::string out;
    for (std::size_t i = start; i < stop; ++i) {
        if (i > start) out += '\n';
        out += lines[i];
    }
    return out;
}

// The output between the start line and the end line at `end`, or none when
// the start line is not above it. The start line may end a joined line, when
// the row it overwrote continued a wrapped one.
std::optional<std::string> output_above(const std::vector<std::string_view>& lines,
                                        std::size_t end, std::string_view start_line) {
    std::size_t start = end;
    while (start > 0 && !is_start(lines[start - 1], start_line)) --start;
    if (start == 0) return std::nullopt;
    return lines_between(lines, start, end);
}

// The output before the end line at `end` in the whole history, or none when
// it cannot be told. Without a start line above the end line: a start line
// below it means the command moved the cursor up, and the output is the
// screen down to the end line; none at all in a history that never filled
// means the command cleared it (ESC[3J), and the output is all that is left.
std::optional<std::string> output_before(const std::vector<std::string_view>& lines,
                                         std::size_t end, std::string_view start_line,
                                         std::uint32_t screen_height, bool history_filled) {
    if (auto output = output_above(lines, end, start_line)) return output;
    const std::size_t screen_top =
        lines.size() > screen_height ? lines.size() - screen_height : 0;
    for (std::size_t i = end + 1; i < lines.size(); ++i) {
        if (is_start(lines[i], start_line)) return lines_between(lines, std::min(screen_top, end), end);
    }
    if (!history_filled) return lines_between(lines, 0, end);
    return std::nullopt;
}

// Whether tmux may have dropped lines of the pane's history: a full history
// drops a tenth of its limit at a time, so one that ever filled holds at least
// that much less than its limit from then on.
bool history_filled(const PaneView& view) {
    return view.history_size + view.history_limit / 10 + 1 >= view.history_limit;
}

// What a run leaves in its turn's memo: the pane's process as last checked,
// and the files of a run that timed out before its shell read them.
struct Memo {
    pid_t pid = 0;
    std::vector<std::string> files;
};

Memo read_memo(const std::string& text) {
    Memo memo;
    auto lines = split_lines(text);
    if (!lines.empty()) {
        auto pid = parse_u32(lines[0]);
        memo.pid = pid ? static_cast<pid_t>(*pid) : 0;
        for (std::size_t i = 1; i < lines.size(); ++i) memo.files.emplace_back(lines[i]);
    }
    return memo;
}

std::string memo_text(const Memo& memo) {
    std::string out = std::to_string(memo.pid);
    for (const auto& file : memo.files) out += "\n" + file;
    return out;
}

std::atomic<std::uint64_t> file_counter{0};

}  // namespace

Result<CommandResult> run(const Pane& pane, std::string command, std::optional<Seconds> timeout) {
    const auto deadline = deadline_after(timeout);
    auto taken = take_turn((pane.socket ? *pane.socket : std::string()) + '\n' + pane.pane_id, deadline);
    if (!taken) return std::unexpected(taken.error());
    if (!*taken) {
        return timeout_error(quote_text(command) + " did not start within " + seconds_text(*timeout) +
                             " seconds: another run on pane " + pane.pane_id + " went on");
    }
    Turn& turn = **taken;
    Memo memo = read_memo(turn.memo());
    for (const auto& file : memo.files) remove_private_file(file);
    memo.files.clear();

    // The pane's process as last seen; looked up again when it has ended.
    auto program = memo.pid ? foreground_of(memo.pid) : std::nullopt;
    if (!program) {
        auto view = live_view(pane, {});
        if (!view) return std::unexpected(view.error());
        memo.pid = view->pid;
        program = foreground_of(memo.pid);
    }
    turn.memo() = memo_text(memo);
    // A program the shell ran for the last run's end line (posh has no
    // printf of its own) may not have ended yet.
    for (int i = 0; i < kEndingChecks && program && !is_posix_shell(program->name); ++i) {
        if (!sleep_interruptibly(kEndingPause)) return interrupted();
        program = foreground_of(memo.pid);
    }
    if (program && !is_posix_shell(program->name)) {
        return runtime_error("pane " + pane.pane_id + " is running " + program->name +
                             ", not a shell at its prompt");
    }
    const std::string shell = program ? program->name : "sh";

    const std::string digits = new_digits();
    const std::string start_line = "tl" + digits + "+";
    const std::string end_prefix = "tl" + digits + "=";
    const std::string name = std::to_string(::getpid()) + "-" + std::to_string(++file_counter);
    auto command_file = write_private_file(name + ".cmd", command_file_text(shell, command));
    if (!command_file) return std::unexpected(command_file.error());
    auto wrapper = write_private_file(name, wrapper_file(shell, command, digits, *command_file));
    if (!wrapper) {
        remove_private_file(*command_file);
        return std::unexpected(wrapper.error());
    }
    bool started = false;  // the shell has read the files
    struct Cleanup {
        std::vector<std::string> files;
        const bool& started;
        std::string& memo;
        ~Cleanup() {
            if (started) {
                for (const auto& file : files) remove_private_file(file);
            } else {
                for (const auto& file : files) memo += "\n" + file;
            }
        }
    } cleanup{{*command_file, *wrapper}, started, turn.memo()};

    // The first view and the keys in one tmux process: a pane that is gone
    // gets no keys, and one whose process has ended ignores them.
    const std::string typed = std::string(builtin_prefix(shell)) + ". " + *wrapper;
    const std::string cancel = "send-keys -X -t " + pane.pane_id + " cancel";
    std::vector<Arg> then = {word("if-shell"), word("-F"), word("-t"), value(pane.pane_id),
                             fixed_operand("#{pane_in_mode}"), fixed_operand(cancel),
                             command_separator(), word("send-keys"), word("-t"),
                             value(pane.pane_id), fixed_operand("C-e"), fixed_operand("C-u"),
                             command_separator()};
    const auto send = typing(pane, typed, true);
    then.insert(then.end(), send.begin(), send.end());
    auto first = live_view(pane, {.joined = true, .then = then});
    if (!first) return std::unexpected(first.error());
    const ViewOptions joined{.joined = true};

    const std::string exited = " exited while running " + quote_text(command);
    auto replaced = [&](const PaneView& view) -> Result<void> {
        if (view.pid != memo.pid) {
            started = true;  // no shell will read the files now
            return runtime_error("pane " + pane.pane_id + exited);
        }
        return {};
    };
    if (auto same = replaced(*first); !same) return std::unexpected(same.error());
    PaneView last = std::move(*first);
    std::optional<Finished> finished;
    auto look = [&]() -> Result<Look> {
        auto view = live_view(pane, joined, exited);
        if (!view) {
            started = true;
            return std::unexpected(view.error());
        }
        if (auto same = replaced(*view); !same) return std::unexpected(same.error());
        const bool changed = view->screen.text != last.screen.text;
        last = std::move(*view);
        auto lines = split_lines(last.screen.text);
        for (std::size_t i = lines.size(); i-- > 0;) {
            if (auto status = end_status(lines[i], end_prefix)) {
                finished = Finished{*status, i};
                started = true;
                return Look{Progress::Done, {}};
            }
            if (!started && is_start(lines[i], start_line)) started = true;
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
    auto output = output_above(lines, finished->end_line, start_line);
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
        for (std::size_t i = all.size(); i-- > 0;) {
            if (!end_status(all[i], end_prefix)) continue;
            if (!whole) {
                output = output_above(all, i, start_line);
            } else {
                output = output_before(all, i, start_line, wide->screen.height,
                                       history_filled(*wide));
            }
            break;
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
