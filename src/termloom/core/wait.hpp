// Waiting until something seen from outside holds: one loop for every wait,
// which alone decides when to look, when the wait is over and when the host
// gets its say.
//
// The loop looks at once, then again as soon as a wake source fires and
// otherwise on a schedule that starts fast after each change and slows down
// while nothing changes. A wake source is a file whose writes end the pause
// (a terminal device: every write by a program in it) or a process whose end
// does. Either may be unavailable; the schedule alone still sees everything,
// only later.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "error.hpp"

namespace termloom {

using WaitClock = std::chrono::steady_clock;

// A length of time given by the caller: never negative, possibly infinite.
struct Seconds {
    double value = 0;
};

// The end of a wait of `timeout` from now; none without a limit (also for a
// timeout too long to count).
std::optional<WaitClock::time_point> deadline_after(std::optional<Seconds> timeout);

// The seconds as Python writes a float: "10.0", "0.5", "1e-05".
std::string seconds_text(Seconds seconds);

// "10.0 seconds", or "no time limit" for none: a timeout in messages.
std::string seconds_phrase(std::optional<Seconds> timeout);

// Whether a text matches, and how messages name what it looks for. An error
// from `matches` ends the wait with it.
struct TextMatcher {
    std::function<Result<bool>(std::string_view)> matches;
    std::string description;
};

struct WakeSources {
    std::string written_file;  // "" for none
    pid_t exit_of = 0;         // 0 for none
};

enum class Progress { Done, Changed, Unchanged };

struct Look {
    Progress progress = Progress::Unchanged;
    // Something falls due then (a quiet period ends): look again no later.
    std::optional<WaitClock::time_point> look_by;
};

// Calls `look` until it says Done (true) or the deadline has passed, after
// one last look at the deadline (false). An error of a look, or the host's
// interrupt check asking to stop (Interrupted), ends the wait at once.
Result<bool> wait_until(std::optional<WaitClock::time_point> deadline, const WakeSources& wake,
                        const std::function<Result<Look>()>& look);

}  // namespace termloom
