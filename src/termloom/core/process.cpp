// Child processes: posix_spawnp with explicit descriptors, output pipes
// drained with poll, and a wait the host can interrupt.
#include "process.hpp"

#include "glibc_floor.hpp"
#include "spawn_in_fork.hpp"

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

extern char** environ;

namespace termloom {
namespace {

std::atomic<InterruptCheck> interrupt_check{nullptr};

// Pipes hold 64 KiB by default, so one read rarely returns more.
constexpr std::size_t read_chunk = 64 * 1024;
constexpr std::size_t min_read = 16 * 1024;

// A signal that doesn't cut a poll short (caught just before it blocked, or by
// another thread) is still seen within this interval, busy pipes or not.
constexpr std::chrono::milliseconds check_interval{150};

// Returned by argv_error for an argument exec could not represent.
constexpr int nul_in_argv = -1;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    void release() { fd_ = -1; }

    // Linux releases the descriptor even when close fails, so never retry.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::string os_error_text(int err) {
    char buf[256];
    std::string text = ::strerror_r(err, buf, sizeof buf);  // GNU: returns the text
    text += " (os error ";
    text += std::to_string(err);
    text += ')';
    return text;
}

std::unexpected<RunError> spawn_error(int err) {
    return std::unexpected(RunError{RunError::Kind::Spawn,
                                    err == nul_in_argv ? "nul byte found in provided data"
                                                       : os_error_text(err)});
}

std::unexpected<RunError> interrupted_error() {
    return std::unexpected(RunError{RunError::Kind::Interrupted, {}});
}

// waitpid failed: whatever the child did, we never saw it.
std::unexpected<RunError> lost_error(int err) {
    std::string text = os_error_text(err);
    if (err == ECHILD) text += "; it was reaped elsewhere (is SIGCHLD ignored?)";
    return std::unexpected(RunError{RunError::Kind::Lost, std::move(text)});
}

int argv_error(const std::vector<std::string>& argv) {
    if (argv.empty()) return EINVAL;
    for (const std::string& arg : argv) {
        if (arg.find('\0') != std::string::npos) return nul_in_argv;
    }
    return 0;
}

// When the host has closed 0, 1 or 2, a new descriptor can land there: then
// dup2(fd, fd) in the child need not clear close-on-exec, and one dup2 onto
// 0-2 can replace the source of the next. With every descriptor at 3 or
// above, each dup2 onto 0-2 is a real, inheritable copy.
int lift(Fd& fd) {
    if (fd.get() > 2) return 0;
    int high = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (high < 0) return errno;
    fd.reset(high);
    return 0;
}

int open_devnull(Fd& fd) {
    fd.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) return errno;
    return lift(fd);
}

int open_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    if (int err = lift(read_end)) return err;
    return lift(write_end);
}

// The NULL-terminated pointer array exec wants, without a heap allocation
// for the usual short tmux command line.
class ArgvPointers {
public:
    explicit ArgvPointers(const std::vector<std::string>& argv) {
        if (argv.size() >= std::size(small_)) {
            large_.resize(argv.size() + 1);
            pointers_ = large_.data();
        }
        for (std::size_t i = 0; i < argv.size(); ++i) {
            pointers_[i] = const_cast<char*>(argv[i].c_str());
        }
        pointers_[argv.size()] = nullptr;
    }
    ArgvPointers(const ArgvPointers&) = delete;
    ArgvPointers& operator=(const ArgvPointers&) = delete;

    char* const* get() const { return pointers_; }

private:
    char* small_[32];
    std::vector<char*> large_;
    char** pointers_ = small_;
};

// Built once and only read afterwards. Python ignores SIGPIPE and SIGXFSZ;
// the child should get the defaults a shell would give it, and a clean signal
// mask whatever the calling thread has blocked. It leads a process group of
// its own, so that an abandoned run can kill whatever it started with it.
struct SpawnAttributes {
    posix_spawnattr_t attr;

    SpawnAttributes() {
        ::posix_spawnattr_init(&attr);
        ::posix_spawnattr_setpgroup(&attr, 0);
        sigset_t none;
        ::sigemptyset(&none);
        ::posix_spawnattr_setsigmask(&attr, &none);
        sigset_t defaults;
        ::sigemptyset(&defaults);
        ::sigaddset(&defaults, SIGPIPE);
        ::sigaddset(&defaults, SIGXFSZ);
#ifdef __GLIBC__
        // glibc's spawn ignores its own two signals (32, 33) in the child and
        // an ignored signal stays ignored across exec, down to every shell the
        // tmux server starts. sigaddset refuses them, so set the bits directly.
        constexpr int word_bits = 8 * sizeof defaults.__val[0];
        for (int sig = 32; sig < SIGRTMIN; ++sig) {
            defaults.__val[(sig - 1) / word_bits] |= 1UL << ((sig - 1) % word_bits);
        }
#endif
        ::posix_spawnattr_setsigdefault(&attr, &defaults);
        ::posix_spawnattr_setflags(
            &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
};

// The child gets 0-2 and nothing else, as from Python's subprocess. Whatever
// the host left inheritable would otherwise reach tmux and a server it
// starts, which outlives the run: a pipe's reader there never sees EOF.
// posix_spawn can close the rest itself from glibc 2.34 on; it is looked up
// at run time so that the module still loads on older glibc, where the
// child is started by spawn_in_fork, which closes them in the child instead.
// TERMLOOM_TEST_FORK_SPAWN set in the environment takes that path here too.
using AddCloseFrom = int (*)(posix_spawn_file_actions_t*, int);

AddCloseFrom spawn_close_from() {
    static const auto found =
        std::getenv("TERMLOOM_TEST_FORK_SPAWN") != nullptr
            ? nullptr
            : reinterpret_cast<AddCloseFrom>(
                  newer_glibc_function("posix_spawn_file_actions_addclosefrom_np"));
    return found;
}

// stdin_fd < 0 leaves standard input inherited. All descriptors given are
// >= 3 and close-on-exec, so the child keeps only its copies on 0-2.
// Returns 0 or the error number (the exec error when the program can't run).
int spawn(const ArgvPointers& argv, int stdin_fd, int stdout_fd, int stderr_fd, pid_t& pid) {
    const AddCloseFrom close_from = spawn_close_from();
    if (close_from == nullptr) {
        return spawn_in_fork(argv.get(), stdin_fd, stdout_fd, stderr_fd, pid);
    }
    static const SpawnAttributes attributes;
    posix_spawn_file_actions_t actions;
    int err = ::posix_spawn_file_actions_init(&actions);
    if (err != 0) return err;
    if (stdin_fd >= 0) err = ::posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
    if (err == 0) err = ::posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
    if (err == 0) err = ::posix_spawn_file_actions_adddup2(&actions, stderr_fd, 2);
    // Queued after the dup2 actions, whose sources are all >= 3.
    if (err == 0) err = close_from(&actions, 3);
    if (err == 0) {
        err = ::posix_spawnp(&pid, argv.get()[0], &actions, &attributes.attr, argv.get(),
                             environ);
    }
    ::posix_spawn_file_actions_destroy(&actions);
    return err;
}

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

// The process groups of the children whose runs are in progress, for
// kill_running_children, each with the process that started it: a forked
// child inherits the list but none of those children. Reachable from a
// static for the whole process.
struct RunningChild {
    pid_t group;
    pid_t owner;
};

std::mutex* running_mutex = new std::mutex();
std::vector<RunningChild>* running_children = new std::vector<RunningChild>();

// fork() copies the mutex in whatever state another thread left it: the
// fork waits until no thread changes the list, and the child starts with a
// fresh mutex and an empty list (the copies stay behind, untouched).
void before_fork() { running_mutex->lock(); }
void after_fork_in_parent() { running_mutex->unlock(); }
void after_fork_in_child() {
    running_mutex = new std::mutex();
    running_children = new std::vector<RunningChild>();
}

[[maybe_unused]] const int fork_handlers_installed =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

// Reaped (or lost): no longer ours to kill, at exit or ever.
void forget_running_child(pid_t pid) {
    std::lock_guard lock(*running_mutex);
    auto& children = *running_children;
    auto it = std::find_if(children.begin(), children.end(),
                           [&](const RunningChild& child) { return child.group == pid; });
    if (it != children.end()) children.erase(it);
}

// The started child, reaped exactly once. A run that leaves without having
// reaped it (interrupted, failed, or unwound by an exception) has its process
// group killed and the child reaped here, so no way out leaves it, or what it
// started (a wrapper script's own child), running or a zombie. A tmux server
// it started has moved to a session of its own and is not touched.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {
        std::lock_guard lock(*running_mutex);
        try {
            running_children->push_back(RunningChild{pid, ::getpid()});
        } catch (const std::bad_alloc&) {
            // Only the clean-up at exit misses this child; the run goes on.
        }
    }
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

// One read appended straight into `out`, into its spare capacity when that is
// big enough, so small outputs don't grow the buffer again just to see EOF.
// Returns the byte count, 0 at EOF, or -errno.
ssize_t read_some(int fd, std::string& out) {
    const std::size_t old_size = out.size();
    std::size_t room = out.capacity() - old_size;
    if (room < min_read) room = read_chunk;
    ssize_t got = 0;
    int err = 0;
    out.resize_and_overwrite(old_size + room, [&](char* data, std::size_t) {
        got = ::read(fd, data + old_size, room);
        if (got < 0) err = errno;
        return old_size + (got > 0 ? static_cast<std::size_t>(got) : 0);
    });
    return got < 0 ? -err : got;
}

enum class Drained { Done, Interrupted, Failed };

// Writes as much of `input` as the pipe takes now and drops it from the
// front. SIGPIPE is held back on this thread meanwhile, so a child that
// stops reading is EPIPE here, not the end of the host. Returns the byte
// count or -errno. (glibc's sigprocmask sets the calling thread's mask, as
// pthread_sigmask does, whose libc symbol is newer than 2.28.)
ssize_t write_some(int fd, std::string_view& input) {
    sigset_t pipe_signal, old_mask, pending;
    ::sigemptyset(&pipe_signal);
    ::sigaddset(&pipe_signal, SIGPIPE);
    ::sigprocmask(SIG_BLOCK, &pipe_signal, &old_mask);
    ::sigpending(&pending);
    const bool was_pending = ::sigismember(&pending, SIGPIPE) == 1;
    ssize_t wrote = ::write(fd, input.data(), std::min(input.size(), read_chunk));
    const int err = wrote < 0 ? errno : 0;
    if (err == EPIPE && !was_pending) {
        // Our own write raised it: take it off this thread before unblocking.
        const timespec now{0, 0};
        while (::sigtimedwait(&pipe_signal, nullptr, &now) < 0 && errno == EINTR) {}
    }
    ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    if (wrote > 0) input.remove_prefix(static_cast<std::size_t>(wrote));
    return wrote < 0 ? -err : wrote;
}

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

std::expected<BackgroundChild, RunError> BackgroundChild::start(
    const std::vector<std::string>& argv, bool with_input) {
    if (int err = argv_error(argv)) return spawn_error(err);
    Fd devnull, in_write, out_read, out_write, err_read, err_write;
    if (with_input) {
        if (int err = open_pipe(devnull, in_write)) return spawn_error(err);
    } else if (int err = open_devnull(devnull)) {
        return spawn_error(err);
    }
    if (int err = open_pipe(out_read, out_write)) return spawn_error(err);
    if (int err = open_pipe(err_read, err_write)) return spawn_error(err);
    if (::fcntl(out_read.get(), F_SETFL, O_NONBLOCK) != 0) return spawn_error(errno);
    if (::fcntl(err_read.get(), F_SETFL, O_NONBLOCK) != 0) return spawn_error(errno);
    const ArgvPointers pointers(argv);
    pid_t pid = 0;
    int err = spawn(pointers, devnull.get(), out_write.get(), err_write.get(), pid);
    out_write.reset();
    err_write.reset();
    devnull.reset();
    if (err != 0) return spawn_error(err);
    {
        std::lock_guard lock(*running_mutex);
        try {
            running_children->push_back(RunningChild{pid, ::getpid()});
        } catch (const std::bad_alloc&) {
        }
    }
    const int out = out_read.get(), error = err_read.get(), in = in_write.get();
    out_read.release();
    err_read.release();
    in_write.release();
    return BackgroundChild(pid, out, error, in < 0 ? -1 : in);
}

BackgroundChild::BackgroundChild(BackgroundChild&& other) noexcept
    : stdout_bytes(std::move(other.stdout_bytes)), stderr_bytes(std::move(other.stderr_bytes)),
      pid_(other.pid_), out_(other.out_), err_(other.err_), in_(other.in_) {
    other.pid_ = other.out_ = other.err_ = other.in_ = -1;
}

void BackgroundChild::close_input() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

BackgroundChild::~BackgroundChild() {
    close_input();
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        int status;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        forget_running_child(pid_);
    }
}

bool BackgroundChild::read_available() {
    auto drain_fd = [](int& fd, std::string& out) {
        if (fd < 0) return true;
        for (;;) {
            ssize_t got = read_some(fd, out);
            if (got > 0) continue;
            if (got == -EINTR) continue;
            if (got == -EAGAIN) return false;
            ::close(fd);  // end of file, or an error no retry cures
            fd = -1;
            return true;
        }
    };
    const bool out_done = drain_fd(out_, stdout_bytes);
    const bool err_done = drain_fd(err_, stderr_bytes);
    return out_done && err_done;
}

std::expected<int, RunError> BackgroundChild::finish() {
    int status = 0;
    for (;;) {
        if (::waitpid(pid_, &status, 0) == pid_) break;
        if (errno != EINTR) {
            const int err = errno;
            forget_running_child(pid_);
            pid_ = -1;
            return lost_error(err);
        }
    }
    forget_running_child(pid_);
    pid_ = -1;
    return status;
}

int BackgroundChild::release_output() {
    const int fd = out_;
    out_ = -1;
    return fd;
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

void kill_running_children() {
    std::lock_guard lock(*running_mutex);
    const pid_t self = ::getpid();
    for (const RunningChild& child : *running_children) {
        if (child.owner == self) ::kill(-child.group, SIGKILL);
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
