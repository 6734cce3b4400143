// The wait loop: poll(2) on the wake sources, with the pause until the next
// look as its timeout.
#include "wait.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "process.hpp"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434  // the same number on every architecture
#endif

namespace termloom {
namespace {

using std::chrono::milliseconds;

// After a change or a wake the next look comes this soon; each look that
// sees nothing new doubles the pause, up to a cap. Without a wake source the
// cap keeps an unchanged screen at about ten looks a second; with one, the
// schedule only has to catch what no program writes (the terminal's own
// echo, tmux redrawing), so it may be slower.
constexpr milliseconds kFirstPause{2};
constexpr milliseconds kPollingCap{100};
constexpr milliseconds kBackstopCap{500};
// A program that writes without pause would otherwise make us look without
// pause: a wake waits for a gap after the last look, an eighth of the time
// that wakes have kept coming (between 1 and 32 ms), until a pause passes
// without one. Short bursts (a prompt, a command's few lines) cost nothing.
constexpr milliseconds kFirstGap{1};
constexpr milliseconds kGapCap{32};
constexpr int kGapShare = 8;
// The host's interrupt check runs at least this often, and after EINTR.
constexpr milliseconds kCheckInterval{150};
// Beyond this a timeout is no limit at all (and would overflow the clock).
constexpr double kLongestTimeout = 1e9;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// Closing an inotify instance makes the kernel wait for a grace period (10
// to 20 ms here), which would fall on the return of every wait. So the
// process keeps a few idle instances for the next waits: a wait takes one
// (or opens one when none is idle), adds its watch, removes it again and
// gives the instance back; one given back when kIdleInstances are idle
// already is closed. Threads that each waited once hold no more than that
// (inotify instances are few: 128 per user by default).
constexpr std::size_t kIdleInstances = 4;

class IdleInstances {
public:
    IdleInstances() {
        for (auto& slot : slots_) slot.store(-1, std::memory_order_relaxed);
    }

    // An idle instance, or -1 when none is.
    int take() {
        for (auto& slot : slots_) {
            if (slot.load(std::memory_order_relaxed) < 0) continue;
            const int fd = slot.exchange(-1, std::memory_order_acquire);
            if (fd >= 0) return fd;
        }
        return -1;
    }

    // Keeps `fd` for a later wait, or closes it when enough are idle.
    void give(int fd) {
        for (auto& slot : slots_) {
            int empty = -1;
            if (slot.compare_exchange_strong(empty, fd, std::memory_order_release)) return;
        }
        ::close(fd);
    }

    // A forked child shares the parent's instances (their events and
    // watches): it forgets them and opens its own. It has one thread then.
    void forget() {
        for (auto& slot : slots_) {
            const int fd = slot.exchange(-1, std::memory_order_relaxed);
            if (fd >= 0) ::close(fd);  // the parent's stay open: no grace period here
        }
    }

private:
    std::array<std::atomic<int>, kIdleInstances> slots_;
};

IdleInstances idle_instances;

void forget_idle_instances_in_child() { idle_instances.forget(); }
[[maybe_unused]] const int fork_handler_installed =
    ::pthread_atfork(nullptr, nullptr, &forget_idle_instances_in_child);

void drain(int fd) {
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

// IN_MODIFY on a terminal device: every write(2) to it, by any process.
class WriteWatch {
public:
    explicit WriteWatch(const std::string& path) {
        if (path.empty()) return;
        fd_ = idle_instances.take();
        if (fd_ >= 0) {
            drain(fd_);  // what the last wait left behind
        } else {
            fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        }
        if (fd_ >= 0) watch_ = ::inotify_add_watch(fd_, path.c_str(), IN_MODIFY);
        if (watch_ < 0) release();
    }
    WriteWatch(const WriteWatch&) = delete;
    WriteWatch& operator=(const WriteWatch&) = delete;
    ~WriteWatch() { release(); }

    int get() const { return fd_; }

private:
    void release() {
        if (fd_ < 0) return;
        if (watch_ >= 0) ::inotify_rm_watch(fd_, watch_);
        idle_instances.give(fd_);
        fd_ = watch_ = -1;
    }

    int fd_ = -1;
    int watch_ = -1;
};

// Readable once the process has ended, and from then on.
int watch_exit(pid_t pid) {
    if (pid <= 0) return -1;
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

}  // namespace

ExitWatch::ExitWatch(pid_t pid) : fd_(watch_exit(pid)) {}

ExitWatch::~ExitWatch() {
    if (fd_ >= 0) ::close(fd_);
}

bool ExitWatch::ended() const {
    if (fd_ < 0) return false;
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

std::optional<WaitClock::time_point> deadline_after(std::optional<Seconds> timeout) {
    if (!timeout || !(timeout->value < kLongestTimeout)) return std::nullopt;
    return WaitClock::now() + std::chrono::duration_cast<WaitClock::duration>(
                                  std::chrono::duration<double>(timeout->value));
}

std::string seconds_text(Seconds seconds) {
    if (std::isnan(seconds.value)) return "nan";
    if (std::isinf(seconds.value)) return seconds.value > 0 ? "inf" : "-inf";
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, seconds.value);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string seconds_phrase(std::optional<Seconds> timeout) {
    return timeout ? seconds_text(*timeout) + " seconds" : std::string("no time limit");
}

Result<bool> wait_until(std::optional<WaitClock::time_point> deadline, const WakeSources& wake,
                        const std::function<Result<Look>()>& look) {
    WriteWatch writes(wake.written_file);
    Descriptor exits(watch_exit(wake.exit_of));
    const milliseconds cap = writes.get() >= 0 || !wake.readable.empty() ? kBackstopCap : kPollingCap;
    WaitClock::duration pause = kFirstPause;
    bool busy = false;  // wakes have kept coming since busy_since
    WaitClock::time_point busy_since{};
    auto checked = WaitClock::now();
    for (;;) {
        auto seen = look();
        if (!seen) return std::unexpected(seen.error());
        if (seen->progress == Progress::Done) return true;
        const auto looked = WaitClock::now();
        if (deadline && looked >= *deadline) return false;
        if (seen->progress == Progress::Changed) pause = kFirstPause;
        auto next = looked + pause;
        pause = std::min<WaitClock::duration>(pause * 2, cap);
        if (seen->look_by) next = std::min(next, *seen->look_by);
        if (deadline) next = std::min(next, *deadline);

        bool woken = false;
        std::vector<bool> fired(wake.readable.size(), false);
        for (;;) {
            auto now = WaitClock::now();
            if (now - checked >= kCheckInterval) {
                if (host_wants_to_stop()) return interrupted();
                checked = now;
            }
            if (now >= next) break;
            std::array<pollfd, 8> fds{};
            nfds_t count = 0;
            if (writes.get() >= 0) fds[count++] = pollfd{writes.get(), POLLIN, 0};
            if (exits.get() >= 0) fds[count++] = pollfd{exits.get(), POLLIN, 0};
            for (std::size_t i = 0; i < wake.readable.size() && count < fds.size(); ++i) {
                if (!fired[i] && wake.readable[i] >= 0) fds[count++] = pollfd{wake.readable[i], POLLIN, 0};
            }
            auto left = std::chrono::ceil<milliseconds>(std::min(next - now, WaitClock::duration(kCheckInterval)));
            int ready = ::poll(fds.data(), count, static_cast<int>(left.count()));
            if (ready < 0) {
                if (errno == EINTR && host_wants_to_stop()) return interrupted();
                checked = WaitClock::now();
                continue;
            }
            if (ready == 0) continue;
            bool direct = false;  // a descriptor of the caller's: its news are whole
            for (nfds_t i = 0; i < count; ++i) {
                if (fds[i].revents == 0) continue;
                if (fds[i].fd == writes.get()) {
                    drain(writes.get());
                } else if (fds[i].fd == exits.get()) {
                    exits.reset();  // it stays readable: one wake is all it can give
                } else {
                    for (std::size_t k = 0; k < wake.readable.size(); ++k) {
                        if (wake.readable[k] == fds[i].fd) fired[k] = true;
                    }
                    direct = true;
                }
            }
            if (direct) break;
            // Whatever woke us shows on the next look, or the one soon after
            // (tmux may not have read the write yet).
            woken = true;
            pause = kFirstPause;
            now = WaitClock::now();
            if (!busy) busy_since = now;
            busy = true;
            const auto gap = std::clamp<WaitClock::duration>((now - busy_since) / kGapShare,
                                                             kFirstGap, kGapCap);
            next = std::min(next, std::max(now, looked + gap));
        }
        if (!woken) busy = false;
    }
}

}  // namespace termloom
