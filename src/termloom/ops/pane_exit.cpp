// Waiting for the end of a pane's program and reading its exit status.
#include <chrono>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "pane_view.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {

Result<std::optional<std::uint32_t>> wait_exit(const Pane& pane, std::optional<Seconds> timeout) {
    const auto deadline = deadline_after(timeout);
    std::optional<std::uint32_t> status;
    std::optional<WaitClock::time_point> dead_since;
    constexpr auto kStatusGrace = std::chrono::milliseconds(500);
    constexpr auto kStatusPoll = std::chrono::milliseconds(20);
    auto first = view_pane(pane, {});
    if (!first) return std::unexpected(first.error());
    if (!first->gone.empty()) return status;  // its status went with it
    auto look = [&]() -> Result<Look> {
        auto view = view_pane(pane, {});
        if (!view) return std::unexpected(view.error());
        if (!view->gone.empty()) return Look{Progress::Done, {}};
        if (!view->dead) return Look{Progress::Unchanged, {}};
        auto ended = successful_stdout(
            display_query(pane.socket, pane.pane_id, "#{pane_dead_status} #{pane_dead_signal}"));
        if (!ended) return std::unexpected(ended.error());
        if (!*ended) return Look{Progress::Done, {}};
        auto fields = split_fields(without_line_end(**ended), ' ');
        if (fields.size() >= 1 && !fields[0].empty()) {
            if (auto code = parse_u32(fields[0])) status = *code;
        } else if (fields.size() >= 2 && !fields[1].empty()) {
            if (auto signal = parse_u32(fields[1])) status = 128 + *signal;  // as a shell reports it
        }
        if (status) return Look{Progress::Done, {}};
        // tmux marks the pane dead when the terminal closes, and learns the
        // status a moment later, when it reaps the process; a signal it
        // reports only from 3.3 on.
        const auto now = WaitClock::now();
        if (!dead_since) dead_since = now;
        if (now - *dead_since >= kStatusGrace) return Look{Progress::Done, {}};
        return Look{Progress::Unchanged, now + kStatusPoll};
    };
    auto done = wait_until(deadline, wake_sources(*first), look);
    if (!done) return std::unexpected(done.error());
    if (*done) return status;
    return timeout_error("pane " + pane.pane_id + "'s program did not end within " +
                         seconds_phrase(timeout));
}


}  // namespace termloom::pane_ops
