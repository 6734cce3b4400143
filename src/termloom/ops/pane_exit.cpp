// Waiting for the end of a pane's program and reading its exit status.
//
// tmux marks a pane dead when its terminal closes, and learns the exit
// status when it reaps the process, on SIGCHLD: normally a moment later.
// Builds of tmux linked with libutempter (Debian's 3.1c and 3.3a) lose that
// moment now and then: on the terminal's close tmux runs utempter's helper,
// which sets SIGCHLD to its default action (discard) until the helper ends;
// the pane's process ending meanwhile sends a SIGCHLD that nobody sees, and
// tmux reaps it only at the next SIGCHLD of any other child (a new pane, a
// job). Until then the pane is dead without a status, for good on a quiet
// server. So a dead pane without a status gets such a child: a background
// job (run-shell -b true), whose end makes tmux reap every child that has
// ended, and the status is read again.
#include <algorithm>
#include <chrono>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "pane_stream.hpp"
#include "pane_view.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

using std::chrono::milliseconds;

// The status normally follows the close within a few milliseconds: the
// first job comes only if it has not after this long.
constexpr milliseconds kFirstRecheck{5};
// Then a job at most this often, the pause doubling up to the cap.
constexpr milliseconds kFirstJob{10};
constexpr milliseconds kJobCap{250};
// Before 3.3 a program ended by a signal leaves no status to read: after
// this long with jobs that made tmux reap whatever had ended, none is known.
constexpr milliseconds kNoSignalGrace{2000};

// The status of a dead pane, as a shell reports it: the exit status, or
// 128+N after signal N (3.3 on); nothing while tmux has none.
std::optional<std::uint32_t> parse_status(std::string_view line) {
    auto fields = split_fields(without_line_end(line), ' ');
    if (fields.size() >= 1 && !fields[0].empty()) {
        if (auto code = parse_u32(fields[0])) return *code;
    } else if (fields.size() >= 2 && !fields[1].empty()) {
        if (auto signal = parse_u32(fields[1])) return 128 + *signal;
    }
    return std::nullopt;
}

}  // namespace

Result<std::optional<std::uint32_t>> wait_exit(const Pane& pane, std::optional<Seconds> timeout) {
    const auto deadline = deadline_after(timeout);
    auto release = release_on_host(pane.socket);
    if (!release) return std::unexpected(release.error());
    const bool tells_signal = dead_pane_tells_signal(*release);
    std::optional<std::uint32_t> status;
    std::optional<WaitClock::time_point> dead_since;
    WaitClock::duration pause = kFirstJob;
    WaitClock::time_point next_job{};
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
        if (!*ended) return Look{Progress::Done, {}};  // gone since the view
        status = parse_status(**ended);
        if (status) return Look{Progress::Done, {}};
        const auto now = WaitClock::now();
        if (!dead_since) {
            dead_since = now;
            next_job = now + kFirstRecheck;
        }
        if (!tells_signal && now - *dead_since >= kNoSignalGrace) return Look{Progress::Done, {}};
        // From 3.3 on the pane shows a status once tmux has reaped the
        // process, whatever ended it: until then it still runs (it closed
        // its terminal) or its SIGCHLD was lost, and the wait goes on.
        if (now >= next_job) {
            auto ran = status_of(tmux_argv(pane.socket, {word("run-shell"), word("-b"),
                                                         fixed_operand("true")}));
            if (!ran) return std::unexpected(ran.error());
            next_job = now + pause;
            pause = std::min<WaitClock::duration>(pause * 2, kJobCap);
        }
        return Look{Progress::Unchanged, next_job};
    };
    auto done = wait_on_pane(pane, *first, deadline, look);
    if (!done) return std::unexpected(done.error());
    if (*done) return status;
    return timeout_error("pane " + pane.pane_id + "'s program did not end within " +
                         seconds_phrase(timeout));
}


}  // namespace termloom::pane_ops
