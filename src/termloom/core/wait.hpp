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
#include <vector>

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

// Where a pattern matched in a text: byte offsets, and the text of each
// group (none for a group that took no part).
struct TextMatch {
    std::size_t start = 0;
    std::size_t end = 0;
    std::vector<std::optional<std::string>> groups;
};

// What a text holds of a pattern, and how messages name what it looks for.
// An error from `find` ends the wait with it.
struct TextMatcher {
    std::function<Result<std::optional<TextMatch>>(std::string_view)> find;
    std::string description;

    Result<bool> matches(std::string_view text) const {
        auto found = find(text);
        if (!found) return std::unexpected(found.error());
        return found->has_value();
    }
};

struct WakeSources {
    std::string written_file;  // "" for none
    pid_t exit_of = 0;         // 0 for none
    // Descriptors whose readability ends the pause; each wakes the loop once
    // per look, so the look must take away what made it readable.
    std::vector<int> readable;
};

enum class Progress { Done, Changed, Unchanged };

struct Look {
    Progress progress = Progress::Unchanged;
    // Something falls due then (a quiet period ends): look again no later.
    std::optional<WaitClock::time_point> look_by;
};

// Tells, without waiting, whether a process has ended (a pidfd); never
// for a process it cannot watch (pid 0, or no pidfds on this system).
class ExitWatch {
public:
    explicit ExitWatch(pid_t pid);
    ExitWatch(const ExitWatch&) = delete;
    ExitWatch& operator=(const ExitWatch&) = delete;
    ~ExitWatch();
    bool ended() const;

private:
    int fd_;
};

// Calls `look` until it says Done (true) or the deadline has passed, after
// one last look at the deadline (false). An error of a look, or the host's
// interrupt check asking to stop (Interrupted), ends the wait at once.
Result<bool> wait_until(std::optional<WaitClock::time_point> deadline, const WakeSources& wake,
                        const std::function<Result<Look>()>& look);

}  // namespace termloom
