#include "foreground.hpp"

#include <cerrno>
#include <charconv>
#include <string_view>

#include <vector>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "host_command.hpp"
#include "tmux_release.hpp"

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

namespace {

// Whether system call `number` of this machine waits for input.
bool input_call_here(long number) {
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

// The same for a machine as `uname -m` names it; false where unknown.
bool input_call_on(std::string_view machine, long number) {
    if (machine == "x86_64") {
        return number == 0 || number == 7 || number == 23 || number == 270 || number == 271;
    }
    if (machine == "aarch64" || machine == "arm64" || machine.starts_with("riscv")) {
        return number == 63 || number == 72 || number == 73;  // read, pselect6, ppoll
    }
    return false;
}

// The first field of /proc/PID/syscall is the number of the call the
// process sleeps in ("running" while it runs).
long sleeping_call(std::string_view line) {
    long number = -1;
    std::from_chars(line.data(), line.data() + line.size(), number);
    return number;
}

}  // namespace

bool waits_for_input(pid_t pid) {
    auto text = read_small_file("/proc/" + std::to_string(pid) + "/syscall");
    if (!text) return false;
    return input_call_here(sleeping_call(*text));
}

std::expected<std::optional<ForegroundState>, RunError> foreground_on_host(
    const std::optional<std::string>& address, pid_t pid) {
    auto host = host_of(address);
    if (!host) return std::unexpected(host.error());
    if (!host->remote()) {
        auto program = foreground_of(pid);
        if (!program) return std::nullopt;
        const bool waiting = waits_for_input(program->pid);
        return ForegroundState{std::move(*program), waiting};
    }
    auto tmux = host_tmux(address);
    if (!tmux) return std::unexpected(tmux.error());
    // Three lines: the foreground group's leader, its name, its system call.
    auto ran = run_output_on_host(
        HostCommand{address,
                    {"sh", "-c",
                     "s=$(cat /proc/\"$1\"/stat 2>/dev/null)||exit 0;s=${s##*)};set -- $s;"
                     "[ \"$6\" -gt 0 ] 2>/dev/null||exit 0;echo \"$6\";cat /proc/$6/comm /proc/$6/syscall 2>/dev/null",
                     "sh", std::to_string(pid)}},
        Capture::Stdout);
    if (!ran) return std::unexpected(ran.error());
    const std::string& text = ran->stdout_bytes;
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < text.size();) {
        const auto end = text.find('\n', at);
        lines.push_back(std::string_view(text).substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    if (lines.size() < 2) return std::nullopt;
    long leader = 0;
    auto [end, error] = std::from_chars(lines[0].data(), lines[0].data() + lines[0].size(), leader);
    if (error != std::errc() || leader <= 0) return std::nullopt;
    const bool waiting = lines.size() >= 3 && input_call_on(tmux->machine, sleeping_call(lines[2]));
    return ForegroundState{ForegroundProgram{static_cast<pid_t>(leader), std::string(lines[1])}, waiting};
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
