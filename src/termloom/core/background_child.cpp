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
    const std::vector<std::string>& argv, StartOptions options) {
    Fd given_out(options.stdout_fd);
    if (int err = argv_error(argv)) return spawn_error(err);
    const bool piped_input = !options.input.empty() || options.hold_input;
    Fd devnull, in_read, in_write, out_read, out_write, err_read, err_write;
    if (int err = open_devnull(devnull)) return spawn_error(err);
    if (piped_input) {
        if (int err = open_pipe(in_read, in_write)) return spawn_error(err);
        if (::fcntl(in_write.get(), F_SETFL, O_NONBLOCK) != 0) return spawn_error(errno);
    }
    if (given_out.get() >= 0) {
        if (int err = lift(given_out)) return spawn_error(err);
    } else {
        if (int err = open_pipe(out_read, out_write)) return spawn_error(err);
        if (::fcntl(out_read.get(), F_SETFL, O_NONBLOCK) != 0) return spawn_error(errno);
    }
    if (int err = open_pipe(err_read, err_write)) return spawn_error(err);
    if (::fcntl(err_read.get(), F_SETFL, O_NONBLOCK) != 0) return spawn_error(errno);
    const ArgvPointers pointers(argv);
    pid_t pid = 0;
    int err = spawn(pointers, piped_input ? in_read.get() : devnull.get(),
                    given_out.get() >= 0 ? given_out.get() : out_write.get(), err_write.get(), pid);
    in_read.reset();
    given_out.reset();
    out_write.reset();
    err_write.reset();
    if (err != 0) return spawn_error(err);
    note_running_child(pid);
    const int out = out_read.get(), error = err_read.get(), in = in_write.get();
    out_read.release();
    err_read.release();
    in_write.release();
    BackgroundChild child(pid, out, error, in);
    child.input_ = std::move(options.input);
    child.hold_input_ = options.hold_input;
    return child;
}

BackgroundChild::BackgroundChild(BackgroundChild&& other) noexcept
    : stdout_bytes(std::move(other.stdout_bytes)), stderr_bytes(std::move(other.stderr_bytes)),
      pid_(other.pid_), out_(other.out_), err_(other.err_), in_(other.in_),
      input_(std::move(other.input_)), input_written_(other.input_written_),
      hold_input_(other.hold_input_) {
    other.pid_ = other.out_ = other.err_ = other.in_ = -1;
}

BackgroundChild::~BackgroundChild() {
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        int status;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        forget_running_child(pid_);
    }
}

bool BackgroundChild::write_input() {
    if (in_ < 0) return true;
    if (hold_input_) return false;
    while (input_written_ < input_.size()) {
        std::string_view rest = std::string_view(input_).substr(input_written_);
        const std::size_t before = rest.size();
        const ssize_t wrote = write_some(in_, rest);
        if (wrote == -EAGAIN || wrote == -EINTR) return false;
        if (wrote <= 0) break;  // the child closed its end: it takes no more
        input_written_ += before - rest.size();
    }
    ::close(in_);
    in_ = -1;
    return true;
}

BackgroundChild::Released BackgroundChild::release_child() {
    Released released{pid_, err_};
    if (pid_ > 0) forget_running_child(pid_);
    pid_ = -1;
    err_ = -1;
    return released;
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

void BackgroundChild::close_input() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

int BackgroundChild::release_output() {
    const int fd = out_;
    out_ = -1;
    return fd;
}

}  // namespace termloom
