#include "server_socket.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "process.hpp"

namespace termloom {

namespace {

// statx, not stat: glibc 2.33 gave stat and lstat new symbols, and the
// module must load on glibc 2.28, which has statx.
bool file_mode(const std::string& path, int flags, unsigned& mode) {
    struct statx info;
    if (::statx(AT_FDCWD, path.c_str(), flags, STATX_TYPE, &info) != 0) return false;
    mode = info.stx_mode;
    return true;
}

}  // namespace

SocketPathState socket_path_state(const std::string& path) {
    unsigned mode = 0;
    if (file_mode(path, 0, mode)) {
        return S_ISSOCK(mode) ? SocketPathState::Socket : SocketPathState::Other;
    }
    if (errno == ENOENT && file_mode(path, AT_SYMLINK_NOFOLLOW, mode)) {
        return SocketPathState::Other;  // a dangling link
    }
    return SocketPathState::Absent;  // or out of reach: the run reports what tmux finds
}

bool accepts_connections(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;  // tmux can't either
    std::memcpy(address.sun_path, path.data(), path.size());
    // Non-blocking: a full backlog of a server that still lives answers
    // EAGAIN at once instead of holding us.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    const bool accepted = result == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return accepted;
}

bool wait_until_refused(const std::string& path, int limit_ms) {
    // tmux exits a few milliseconds after it answered kill-server.
    constexpr int kIntervalMs = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (accepts_connections(path) && std::chrono::steady_clock::now() < deadline) {
        if (!sleep_interruptibly(kIntervalMs)) return false;
    }
    return true;
}

}  // namespace termloom
