// A child started now and waited for later (process.hpp).
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_spawn.hpp"
#include "process.hpp"

namespace termloom {

using namespace spawning;

std::expected<BackgroundChild, RunError> BackgroundChild::start(
    const std::vector<std::string>& argv) {
    if (int err = argv_error(argv)) return spawn_error(err);
    Fd devnull, out_read, out_write, err_read, err_write;
    if (int err = open_devnull(devnull)) return spawn_error(err);
    if (int err = open_pipe(out_read, out_write)) return spawn_error(err);
    if (int err = open_pipe(err_read, err_write)) return spawn_error(err);
    if (::fcntl(out_read.get(), F_SETFL, O_NONBLOCK) != 0) return spawn_error(errno);
    if (::fcntl(err_read.get(), F_SETFL, O_NONBLOCK) != 0) return spawn_error(errno);
    const ArgvPointers pointers(argv);
    pid_t pid = 0;
    int err = spawn(pointers, devnull.get(), out_write.get(), err_write.get(), pid);
    out_write.reset();
    err_write.reset();
    if (err != 0) return spawn_error(err);
    note_running_child(pid);
    const int out = out_read.get(), error = err_read.get();
    out_read.release();
    err_read.release();
    return BackgroundChild(pid, out, error);
}

BackgroundChild::BackgroundChild(BackgroundChild&& other) noexcept
    : stdout_bytes(std::move(other.stdout_bytes)), stderr_bytes(std::move(other.stderr_bytes)),
      pid_(other.pid_), out_(other.out_), err_(other.err_) {
    other.pid_ = other.out_ = other.err_ = -1;
}

BackgroundChild::~BackgroundChild() {
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

}  // namespace termloom
