// LastCommand: reads the last command of the shell in a pane by making it
// print its previous history entry behind a marker, and re-runs it.
#include "../core/process.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "run_tmux.hpp"

namespace termloom::last_command_ops {
namespace {

constexpr std::string_view kFailed = "tmux command failed: ";
constexpr std::string_view kMarker = "__TERMLOOM__";
constexpr std::string_view kEndMarker = "__TERMLOOM_END__";
// Typed into the shell (bash). The line is itself recorded in the history
// as it runs: it keeps the entry before it, takes its own entry out again
// (only when it is the last one, so that nothing else is lost when the
// shell records no history), and prints the entry kept between the two
// markers, so that an entry of several lines is read whole.
constexpr std::string_view kQueryLine =
    R"q(__termloom_c=$(fc -ln -1); read -r __termloom_n __termloom_r <<<"$(history 1)"; )q"
    R"q([[ $__termloom_r == *__termloom_c=* ]] && history -d "$__termloom_n"; )q"
    R"q(printf '__TERMLOOM__%s__TERMLOOM_END__\n' "$__termloom_c"; )q"
    R"q(unset __termloom_c __termloom_n __termloom_r)q";

// The shell prints the answer a moment after the keys arrive, and until then
// the pane may still show the answer to an earlier query. So the pane is read
// once in the same tmux process as the keys, before tmux can even deliver
// them, and then until it shows more answers than it did then: the lowest one
// is ours. Should older answers leave the history meanwhile, the count may
// not grow and the read fails; it never returns an older answer.
constexpr int kPollIntervalsMs[] = {5, 10, 20, 40};
constexpr int kSteadyIntervalMs = 50;
constexpr int kWaitLimitMs = 2000;

Result<bool> type_line(const LastCommand& last, std::string_view line) {
    return action_run(tmux_argv(last.socket, {word("send-keys"), word("-t"), value(last.pane_id),
                                              fixed_operand(line), fixed_operand("Enter")}),
                      kFailed);
}

// The whole pane, history included; -J joins wrapped lines, which a narrow
// pane would otherwise cut at its width.
std::vector<Arg> capture_pane(std::string_view pane_id) {
    return {word("capture-pane"), word("-p"), word("-J"), word("-S"), word("-"), word("-t"),
            value(pane_id)};
}

std::string answer_text(std::string_view text) {
    while (text.starts_with(kMarker)) text.remove_prefix(kMarker.size());
    return std::string(trim(text));
}

// The complete answers of a capture, in screen order. One begins on a line
// that begins, after white space, with the marker (the echo of the typed
// query does not) and ends on the first line that ends with the end marker;
// an answer cut short by the next one, or by the end of the capture, is no
// answer.
std::vector<std::string> answers_in(std::string_view capture) {
    std::vector<std::string> answers;
    const auto lines = split_lines(capture);
    for (std::size_t first = 0; first < lines.size(); ++first) {
        if (!trim_start(lines[first]).starts_with(kMarker)) continue;
        std::string text;
        for (std::size_t at = first; at < lines.size(); ++at) {
            std::string_view line = at == first ? trim_start(lines[at]) : lines[at];
            if (at > first) {
                if (trim_start(line).starts_with(kMarker)) break;
                text += '\n';
            }
            if (trim(line).ends_with(kEndMarker)) {
                text += line.substr(0, line.rfind(kEndMarker));
                answers.push_back(answer_text(text));
                first = at;
                break;
            }
            text += line;
        }
    }
    return answers;
}

// One capture: its answers, or the run's error.
Result<std::vector<std::string>> answers_from(const HostCommand& command) {
    auto output = output_of(command, Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(kFailed, *output, Stderr::Trimmed);
    auto text = unpadded_capture(command.address, decode_lossy(std::move(output->stdout_bytes)));
    if (!text) return std::unexpected(text.error());
    return answers_in(*text);
}

}  // namespace

Result<std::string> read(const LastCommand& last) {
    std::vector<Arg> typed = {word("send-keys"), word("-t"), value(last.pane_id),
                              fixed_operand(kQueryLine), fixed_operand("Enter"),
                              command_separator()};
    for (const Arg& arg : capture_pane(last.pane_id)) typed.push_back(arg);
    auto before = answers_from(tmux_argv(last.socket, typed));
    if (!before) return std::unexpected(before.error());

    const auto capture = tmux_argv(last.socket, capture_pane(last.pane_id));
    int waited = 0;
    for (std::size_t attempt = 0;; ++attempt) {
        const int pause = attempt < std::size(kPollIntervalsMs) ? kPollIntervalsMs[attempt]
                                                                : kSteadyIntervalMs;
        if (!sleep_interruptibly(pause)) return interrupted();
        waited += pause;
        auto now = answers_from(capture);
        if (!now) return std::unexpected(now.error());
        if (now->size() > before->size()) return std::move(now->back());
        if (waited >= kWaitLimitMs) break;
    }
    return runtime_error("could not read last command");
}

Result<bool> run(const LastCommand& last) { return type_line(last, "fc -s"); }

std::string repr(const LastCommand& last) {
    return "LastCommand(pane_id=" + quote_text(last.pane_id) +
           ", socket=" + display_optional(last.socket) + ")";
}

}  // namespace termloom::last_command_ops
