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

// The shell prints the answer a moment after the keys arrive; until then the
// screen may still show an older answer, so wait for one below the query.
constexpr int kPollIntervalsMs[] = {5, 10, 20, 40};
constexpr int kSteadyIntervalMs = 50;
constexpr int kWaitLimitMs = 2000;

Result<bool> type_line(const LastCommand& last, std::string_view line) {
    return action_run(tmux_argv(last.socket, {word("send-keys"), word("-t"), value(last.pane_id),
                                              fixed_operand(line), fixed_operand("Enter")}),
                      kFailed);
}

// The answer to the newest query on the screen: the lowest marker line, if
// no echo of the typed query stands below it (an answer above the newest
// echo is an older one), without its markers and surrounding white space.
// An answer that lists the query itself begins with the marker, so it is no
// echo.
std::optional<std::string> answer_on(std::string_view screen) {
    const auto lines = split_lines(screen);
    for (std::size_t i = lines.size(); i-- > 0;) {
        std::string_view line = trim_start(lines[i]);
        if (line.starts_with(kMarker)) {
            while (line.starts_with(kMarker)) line.remove_prefix(kMarker.size());
            return std::string(trim(line));
        }
        if (line.find(kQueryLine) != std::string_view::npos) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

Result<std::string> read(const LastCommand& last) {
    auto typed = type_line(last, kQueryLine);
    if (!typed) return std::unexpected(typed.error());
    // -J joins wrapped lines: in a narrow pane the answer (and the echo of the
    // query) would otherwise be cut at the pane's width.
    const auto argv = tmux_argv(last.socket, {word("capture-pane"), word("-p"), word("-J"),
                                              word("-t"), value(last.pane_id)});
    int waited = 0;
    for (std::size_t attempt = 0;; ++attempt) {
        auto output = output_of(argv, Capture::Both, kSpawnPrefix);
        if (!output) return std::unexpected(output.error());
        if (!succeeded(*output)) return tmux_failure(kFailed, *output, Stderr::Trimmed);
        const std::string screen = decode_lossy(std::move(output->stdout_bytes));
        if (auto answer = answer_on(screen)) return *answer;
        if (waited >= kWaitLimitMs) break;
        const int pause = attempt < std::size(kPollIntervalsMs) ? kPollIntervalsMs[attempt]
                                                                : kSteadyIntervalMs;
        if (!sleep_interruptibly(pause)) return interrupted();
        waited += pause;
    }
    return runtime_error("could not read last command");
}

Result<bool> run(const LastCommand& last) { return type_line(last, "fc -s"); }

std::string repr(const LastCommand& last) {
    return "LastCommand(pane_id=" + quote_text(last.pane_id) +
           ", socket=" + display_optional(last.socket) + ")";
}

}  // namespace termloom::last_command_ops
