#include "child_spawn.hpp"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>

#include "glibc_floor.hpp"
#include "spawn_in_fork.hpp"

extern char** environ;

namespace termloom::spawning {
namespace {

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

}  // namespace

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

// Reaped (or lost): no longer ours to kill, at exit or ever.
void forget_running_child(pid_t pid) {
    std::lock_guard lock(*running_mutex);
    auto& children = *running_children;
    auto it = std::find_if(children.begin(), children.end(),
                           [&](const RunningChild& child) { return child.group == pid; });
    if (it != children.end()) children.erase(it);
}

void note_running_child(pid_t pid) {
    std::lock_guard lock(*running_mutex);
    try {
        running_children->push_back(RunningChild{pid, ::getpid()});
    } catch (const std::bad_alloc&) {
        // Only the clean-up at exit misses this child; the run goes on.
    }
}

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

}  // namespace termloom::spawning

namespace termloom {

void kill_running_children() {
    using namespace spawning;
    std::lock_guard lock(*running_mutex);
    const pid_t self = ::getpid();
    for (const RunningChild& child : *running_children) {
        if (child.owner == self) ::kill(-child.group, SIGKILL);
    }
}

}  // namespace termloom
