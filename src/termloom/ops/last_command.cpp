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
// Typed into the shell: prints the marker and the previous history entry.
constexpr std::string_view kQueryLine = R"q(printf '__TERMLOOM__%s\n' "$(fc -ln -1)")q";

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

// The lines of a capture that hold an answer: a line that begins, after
// white space, with the marker (the echo of the typed query does not).
std::vector<std::string_view> answer_lines(std::string_view capture) {
    std::vector<std::string_view> answers;
    for (std::string_view line : split_lines(capture)) {
        line = trim_start(line);
        if (line.starts_with(kMarker)) answers.push_back(line);
    }
    return answers;
}

std::string answer_text(std::string_view line) {
    while (line.starts_with(kMarker)) line.remove_prefix(kMarker.size());
    return std::string(trim(line));
}

// One capture: its answer lines, or the run's error.
Result<std::vector<std::string>> answers_from(const std::vector<std::string>& argv) {
    auto output = output_of(argv, Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(kFailed, *output, Stderr::Trimmed);
    const std::string capture = decode_lossy(std::move(output->stdout_bytes));
    std::vector<std::string> answers;
    for (std::string_view line : answer_lines(capture)) answers.push_back(answer_text(line));
    return answers;
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
