// Starting children, shared by the runs that wait for them (process.cpp)
// and the children waited for later (background_child.cpp): descriptors of
// our own, the argument array, posix_spawn with the defaults a child needs,
// the errors of a start, and the list of children to kill when the host
// exits. Internal to the core.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include "process.hpp"

namespace termloom::spawning {

// Pipes hold 64 KiB by default, so one read rarely returns more.
constexpr std::size_t read_chunk = 64 * 1024;
constexpr std::size_t min_read = 16 * 1024;

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

std::string os_error_text(int err);
std::unexpected<RunError> spawn_error(int err);
std::unexpected<RunError> interrupted_error();
// waitpid failed: whatever the child did, we never saw it.
std::unexpected<RunError> lost_error(int err);
// 0, or why exec could not take the argument vector.
int argv_error(const std::vector<std::string>& argv);
// Moves a descriptor to 3 or above (a host that closed 0-2 gets them back
// as new descriptors, which dup2 onto 0-2 in the child would mix up).
int lift(Fd& fd);
int open_devnull(Fd& fd);
int open_pipe(Fd& read_end, Fd& write_end);

// stdin_fd < 0 leaves standard input inherited. All descriptors given are
// >= 3 and close-on-exec, so the child keeps only its copies on 0-2.
// Returns 0 or the error number (the exec error when the program can't run).
int spawn(const ArgvPointers& argv, int stdin_fd, int stdout_fd, int stderr_fd, pid_t& pid);

// The list of children to kill at exit: one started, one reaped (or lost).
void note_running_child(pid_t pid);
void forget_running_child(pid_t pid);

// One read appended straight into `out`; the byte count, 0 at EOF, or -errno.
ssize_t read_some(int fd, std::string& out);
// Writes what the pipe takes now of `input` and drops it from the front,
// SIGPIPE held back (a reader gone is EPIPE); the byte count or -errno.
ssize_t write_some(int fd, std::string_view& input);

}  // namespace termloom::spawning
