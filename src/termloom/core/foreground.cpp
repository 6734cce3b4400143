#include "foreground.hpp"

#include <cerrno>
#include <charconv>
#include <string_view>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace termloom {
namespace {

// A /proc file, with open and read: a file stream would bring in a glibc
// symbol (fstat64) newer than the module's floor, 2.28.
std::optional<std::string> read_small_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ::close(fd);
            if (got < 0) return std::nullopt;
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

std::optional<ForegroundProgram> foreground_of(pid_t pid) {
    auto stat = read_small_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // After the name in parentheses: state ppid pgrp session tty_nr tpgid.
    const auto close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*stat).substr(close + 1);
    for (int field = 0; field < 5; ++field) {
        const auto space = rest.find(' ', 1);
        if (space == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(space);
    }
    rest.remove_prefix(1);
    long tpgid = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), tpgid);
    if (error != std::errc() || tpgid <= 0) return std::nullopt;
    auto comm = read_small_file("/proc/" + std::to_string(tpgid) + "/comm");
    if (!comm) return std::nullopt;
    if (!comm->empty() && comm->back() == '\n') comm->pop_back();
    return ForegroundProgram{static_cast<pid_t>(tpgid), std::move(*comm)};
}

bool waits_for_input(pid_t pid) {
    // The first field of /proc/PID/syscall is the number of the call the
    // process sleeps in ("running" while it runs).
    auto text = read_small_file("/proc/" + std::to_string(pid) + "/syscall");
    if (!text) return false;
    const std::string_view line = *text;
    long number = -1;
    std::from_chars(line.data(), line.data() + line.size(), number);
    switch (number) {
#ifdef SYS_read
    case SYS_read:
#endif
#ifdef SYS_poll
    case SYS_poll:
#endif
#ifdef SYS_select
    case SYS_select:
#endif
#ifdef SYS_pselect6
    case SYS_pselect6:
#endif
#ifdef SYS_ppoll
    case SYS_ppoll:
#endif
        return true;
    default:
        return false;
    }
}

bool is_posix_shell(std::string_view name) {
    constexpr std::string_view shells[] = {"sh",   "bash", "dash", "zsh",   "ksh",  "ksh93",
                                           "mksh", "lksh", "ash",  "posh",  "yash", "busybox"};
    for (std::string_view shell : shells) {
        if (name == shell) return true;
    }
    return false;
}

}  // namespace termloom
