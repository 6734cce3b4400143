// Child processes: posix_spawnp with explicit descriptors, output pipes
// drained with poll, and a wait the host can interrupt.
#include "process.hpp"

#include "child_spawn.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434  // the same number on every architecture
#endif

namespace termloom {
namespace {

using namespace spawning;

std::atomic<InterruptCheck> interrupt_check{nullptr};

// A signal that doesn't cut a poll short (caught just before it blocked, or by
// another thread) is still seen within this interval, busy pipes or not.
constexpr std::chrono::milliseconds check_interval{150};

// Paces the host's interrupt check over one run: it is due every
// check_interval whether or not the child keeps the pipes busy, and at once
// after EINTR, when a handler has just caught a signal.
class CheckPacer {
public:
    explicit CheckPacer(InterruptCheck check) : check_(check), due_(next_due()) {}

    bool active() const { return check_ != nullptr; }

    // For poll: the milliseconds until the check is due; -1 without a check.
    int timeout_ms() const {
        if (!active()) return -1;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(due_ - Clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

    // True when the host wants the run abandoned.
    bool stop_now() {
        if (!active()) return false;
        due_ = next_due();
        return check_();
    }

    bool stop_if_due() { return active() && Clock::now() >= due_ && stop_now(); }

private:
    using Clock = std::chrono::steady_clock;
    static Clock::time_point next_due() { return Clock::now() + check_interval; }

    InterruptCheck check_;
    Clock::time_point due_;
};

enum class Waited { Exited, Interrupted, Lost };

// The started child, reaped exactly once. A run that leaves without having
// reaped it (interrupted, failed, or unwound by an exception) has its process
// group killed and the child reaped here, so no way out leaves it, or what it
// started (a wrapper script's own child), running or a zombie. A tmux server
// it started has moved to a session of its own and is not touched.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) { note_running_child(pid); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) kill_and_reap();
    }

    // Blocks until the child exits and reaps it; `status` is set on Exited,
    // `error` on Lost. On Interrupted the child is left to the destructor.
    Waited wait(CheckPacer& pacer, int& status, int& error) {
        if (!await_exit(pacer)) return Waited::Interrupted;
        for (;;) {
            if (::waitpid(pid_, &status, 0) == pid_) {
                forget();
                return Waited::Exited;
            }
            if (errno != EINTR) {
                // ECHILD: someone else reaped it (with SIGCHLD set to SIG_IGN
                // the kernel does), and the pid may already be another's.
                error = errno;
                forget();
                return Waited::Lost;
            }
            if (pacer.stop_now()) return Waited::Interrupted;
        }
    }

private:
    // With a check installed the child's pidfd is polled in slices, so a
    // signal caught just before we block can't leave the host stuck until
    // the child happens to exit. False when the host wants to stop. Without
    // a check (or a pidfd) the blocking waitpid that follows does the waiting.
    bool await_exit(CheckPacer& pacer) const {
        if (!pacer.active()) return true;
        Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        if (pidfd.get() < 0) return true;
        pollfd entry{pidfd.get(), POLLIN, 0};
        for (;;) {
            int ready = ::poll(&entry, 1, pacer.timeout_ms());
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) return true;  // waitpid still works
            if (ready < 0 ? pacer.stop_now() : pacer.stop_if_due()) return false;
        }
    }

    // The group's id is the child's pid, which no new group can take while
    // the child is unreaped.
    void kill_and_reap() {
        ::kill(-pid_, SIGKILL);
        int status;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        forget();
    }

    void forget() {
        forget_running_child(pid_);
        pid_ = -1;
    }

    pid_t pid_;
};

enum class Drained { Done, Interrupted, Failed };

// Reads the collected streams to EOF together, closing each as it ends,
// while writing `input` to the stream whose `outs` entry is null (then
// closing it, which is the child's end of file). Writing and reading go on
// together, so a child that answers before it has read everything cannot
// stall either side.
Drained drain(Fd* pipes[], std::string* outs[], int count, std::string_view input,
              CheckPacer& pacer, int& error) {
    pollfd entries[3];
    for (int i = 0; i < count; ++i) {
        entries[i] = pollfd{pipes[i]->get(), static_cast<short>(outs[i] ? POLLIN : POLLOUT), 0};
    }
    while (count > 0) {
        int ready = ::poll(entries, static_cast<nfds_t>(count), pacer.timeout_ms());
        if (ready < 0) {
            if (errno != EINTR) {
                error = errno;
                return Drained::Failed;
            }
            if (pacer.stop_now()) return Drained::Interrupted;
            continue;
        }
        // A child that never pauses would otherwise keep the check from ever running.
        if (pacer.stop_if_due()) return Drained::Interrupted;
        // Backwards, so that a finished entry can be replaced by the last one.
        for (int i = count - 1; i >= 0; --i) {
            if (entries[i].revents == 0) continue;
            if (!outs[i]) {
                // The input: a child that closed its end (POLLERR) takes no more.
                if (entries[i].revents & POLLOUT) {
                    ssize_t wrote = write_some(entries[i].fd, input);
                    if ((wrote > 0 && !input.empty()) || wrote == -EAGAIN) continue;
                    if (wrote == -EINTR) {
                        if (pacer.stop_now()) return Drained::Interrupted;
                        continue;
                    }
                }
            } else if (entries[i].revents & POLLIN) {
                // Linux reports POLLIN for a pipe whenever it holds data, so a
                // hang-up without POLLIN is EOF and needs no read (nor buffer).
                ssize_t got = read_some(entries[i].fd, *outs[i]);
                if (got > 0) continue;
                if (got == -EINTR) {
                    if (pacer.stop_now()) return Drained::Interrupted;
                    continue;
                }
            }
            // EOF, all input written, or an error no retry would cure: this
            // stream is finished.
            pipes[i]->reset();
            --count;
            entries[i] = entries[count];
            pipes[i] = pipes[count];
            outs[i] = outs[count];
        }
    }
    return Drained::Done;
}

}  // namespace

bool succeeded(const CommandOutput& output) {
    return WIFEXITED(output.wait_status) && WEXITSTATUS(output.wait_status) == 0;
}

std::string exit_description(int wait_status) {
    if (WIFSIGNALED(wait_status)) return "killed by signal " + std::to_string(WTERMSIG(wait_status));
    return "exit status " + std::to_string(WEXITSTATUS(wait_status));
}

void set_interrupt_check(InterruptCheck check) {
    interrupt_check.store(check, std::memory_order_relaxed);
}

std::expected<bool, RunError> run_status(const std::vector<std::string>& argv) {
    if (argv_error(argv) != 0) return false;
    Fd devnull;
    if (open_devnull(devnull) != 0) return false;
    const ArgvPointers pointers(argv);
    pid_t pid = 0;
    int err = spawn(pointers, -1, devnull.get(), devnull.get(), pid);
    devnull.reset();
    if (err != 0) return false;
    Child child(pid);

    CheckPacer pacer(interrupt_check.load(std::memory_order_relaxed));
    int status = 0;
    switch (child.wait(pacer, status, err)) {
    case Waited::Exited:
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    case Waited::Interrupted:
        return interrupted_error();
    case Waited::Lost:
        break;
    }
    return lost_error(err);
}

std::expected<CommandOutput, RunError> run_output(const std::vector<std::string>& argv,
                                                  Capture capture, std::string_view input) {
    if (int err = argv_error(argv)) return spawn_error(err);
    const bool want_stdout = capture == Capture::Stdout || capture == Capture::Both;
    const bool want_stderr = capture == Capture::Stderr || capture == Capture::Both;

    Fd devnull, in_read, in_write, out_read, out_write, err_read, err_write;
    if (int err = open_devnull(devnull)) return spawn_error(err);
    if (!input.empty()) {
        if (int err = open_pipe(in_read, in_write)) return spawn_error(err);
        // Only our end: the child reads as programs expect, blocking.
        if (::fcntl(in_write.get(), F_SETFL, O_NONBLOCK) != 0) return spawn_error(errno);
    }
    if (want_stdout) {
        if (int err = open_pipe(out_read, out_write)) return spawn_error(err);
    }
    if (want_stderr) {
        if (int err = open_pipe(err_read, err_write)) return spawn_error(err);
    }

    const ArgvPointers pointers(argv);
    pid_t pid = 0;
    int err = spawn(pointers, input.empty() ? devnull.get() : in_read.get(),
                    want_stdout ? out_write.get() : devnull.get(),
                    want_stderr ? err_write.get() : devnull.get(), pid);
    // Our copies of the write ends would keep the pipes from ever reaching EOF.
    devnull.reset();
    in_read.reset();
    out_write.reset();
    err_write.reset();
    if (err != 0) return spawn_error(err);
    Child child(pid);

    CheckPacer pacer(interrupt_check.load(std::memory_order_relaxed));
    CommandOutput output;
    if (want_stdout) output.stdout_bytes = take_output_buffer();
    Fd* pipes[3];
    std::string* outs[3];
    int count = 0;
    if (!input.empty()) {
        pipes[count] = &in_write;
        outs[count++] = nullptr;
    }
    if (want_stdout) {
        pipes[count] = &out_read;
        outs[count++] = &output.stdout_bytes;
    }
    if (want_stderr) {
        pipes[count] = &err_read;
        outs[count++] = &output.stderr_bytes;
    }
    switch (drain(pipes, outs, count, input, pacer, err)) {
    case Drained::Done:
        break;
    case Drained::Interrupted:
        return interrupted_error();
    case Drained::Failed:
        return spawn_error(err);
    }

    switch (child.wait(pacer, output.wait_status, err)) {
    case Waited::Exited:
        return output;
    case Waited::Interrupted:
        return interrupted_error();
    case Waited::Lost:
        break;
    }
    return lost_error(err);
}

namespace {

constexpr std::size_t kept_buffer_limit = 16 * 1024 * 1024;
thread_local std::string spare_output_buffer;

}  // namespace

std::string take_output_buffer() {
    std::string buffer = std::move(spare_output_buffer);
    spare_output_buffer = std::string();
    buffer.clear();
    return buffer;
}

void give_back_output_buffer(std::string&& buffer) {
    if (buffer.capacity() > spare_output_buffer.capacity() &&
        buffer.capacity() <= kept_buffer_limit) {
        spare_output_buffer = std::move(buffer);
    }
}


bool sleep_interruptibly(int milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    CheckPacer pacer(interrupt_check.load(std::memory_order_relaxed));
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return true;
        // poll with no descriptors: a sleep that a signal cuts short (EINTR).
        ::poll(nullptr, 0, static_cast<int>(std::min(left, check_interval).count()));
        if (pacer.stop_now()) return false;
    }
}

ssize_t write_to_pipe(int fd, std::string_view& input) { return write_some(fd, input); }

bool host_wants_to_stop() {
    InterruptCheck check = interrupt_check.load(std::memory_order_relaxed);
    return check != nullptr && check();
}

}  // namespace termloom
