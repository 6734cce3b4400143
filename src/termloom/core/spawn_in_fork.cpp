#include "spawn_in_fork.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace termloom {

std::vector<std::string> exec_candidates(const char* file) {
    std::vector<std::string> paths;
    if (*file == '\0') return paths;
    if (std::strchr(file, '/') != nullptr) {
        paths.emplace_back(file);
        return paths;
    }
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/bin:/usr/bin";
    for (;;) {
        const auto colon = rest.find(':');
        std::string candidate(rest.substr(0, colon));
        if (!candidate.empty()) candidate += '/';
        candidate += file;
        paths.push_back(std::move(candidate));
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return paths;
}

namespace {

constexpr long close_range_call = 436;  // the same number on every architecture

// What getdents64 fills its buffer with.
struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

bool close_range(unsigned first, unsigned last) {
    return first > last || ::syscall(close_range_call, first, last, 0) == 0;
}

// In the child: closes every descriptor above 2 except `keep`. close_range
// needs Linux 5.9; before it the open ones are read from /proc (each entry's
// place in the listing is its number, so closing as we go skips none), and
// without /proc every number below the descriptor limit is closed.
void close_all_above_2_except(int keep, int limit) {
    const auto kept = static_cast<unsigned>(keep);
    if (close_range(3, kept - 1) && close_range(kept + 1, ~0U)) return;
    const int listing = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        for (int fd = 3; fd < limit; ++fd) {
            if (fd != keep) ::close(fd);
        }
        return;
    }
    alignas(LinuxDirent64) char buffer[4096];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, listing, buffer, sizeof buffer);
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
            at += entry->d_reclen;
            int fd = 0;
            for (const char* c = entry->d_name; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
            if (fd > 2 && fd != keep && fd != listing) ::close(fd);
        }
    }
    ::close(listing);
}

// Handlers the host installed would run in the child until the exec if a
// signal came first; the two Python ignores must not stay ignored after it.
void default_signal_actions() {
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction now {};
        if (::sigaction(sig, nullptr, &now) != 0) continue;  // glibc's own, or none
        const bool caught = now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN;
        if (caught || sig == SIGPIPE || sig == SIGXFSZ) ::sigaction(sig, &by_default, nullptr);
    }
}

// The child, after the fork: system calls only, then exec or report.
[[noreturn]] void become_child(char* const argv[], const std::vector<char*>& candidates,
                               int stdin_fd, int stdout_fd, int stderr_fd, int report_fd,
                               int fd_limit) {
    default_signal_actions();
    int err = 0;
    if (::setpgid(0, 0) != 0) err = errno;
    if (err == 0 && stdin_fd >= 0 && ::dup2(stdin_fd, 0) < 0) err = errno;
    if (err == 0 && ::dup2(stdout_fd, 1) < 0) err = errno;
    if (err == 0 && ::dup2(stderr_fd, 2) < 0) err = errno;
    if (err == 0) {
        close_all_above_2_except(report_fd, fd_limit);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // As execvp: a path that can't be a program is passed over, and
        // "permission denied" wins over "not found" when both were seen.
        err = ENOENT;
        bool denied = false;
        for (char* path : candidates) {
            ::execve(path, argv, environ);
            err = errno;
            if (err == EACCES) {
                denied = true;
            } else if (err != ENOENT && err != ENOTDIR && err != ESTALE && err != ENODEV &&
                       err != ETIMEDOUT) {
                break;
            }
        }
        if (denied && (err == ENOENT || err == ENOTDIR)) err = EACCES;
    }
    while (::write(report_fd, &err, sizeof err) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

}  // namespace

int spawn_in_fork(char* const argv[], int stdin_fd, int stdout_fd, int stderr_fd, pid_t& pid) {
    std::vector<std::string> paths = exec_candidates(argv[0]);
    if (paths.empty()) return ENOENT;
    std::vector<char*> candidates;
    for (std::string& path : paths) candidates.push_back(path.data());
    rlimit files{};
    const int fd_limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                             ? static_cast<int>(files.rlim_cur)
                             : 65536;

    // The exec error comes back through a close-on-exec pipe: EOF when the
    // exec succeeded. Its ends are above 2, clear of the dup2 targets.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return errno;
    int report[2];
    for (int i = 0; i < 2; ++i) {
        report[i] = ends[i] > 2 ? ends[i] : ::fcntl(ends[i], F_DUPFD_CLOEXEC, 3);
        if (report[i] != ends[i]) ::close(ends[i]);
    }
    if (report[0] < 0 || report[1] < 0) {
        const int err = errno;
        for (int fd : report) {
            if (fd >= 0) ::close(fd);
        }
        return err;
    }

    // Every signal blocked over the fork: no handler of the host may run in
    // the child before it has put the default actions back.
    sigset_t all, old;
    ::sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, &old);
    const pid_t child = ::fork();
    if (child == 0) {
        become_child(argv, candidates, stdin_fd, stdout_fd, stderr_fd, report[1], fd_limit);
    }
    const int fork_err = errno;
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    ::close(report[1]);
    if (child < 0) {
        ::close(report[0]);
        return fork_err;
    }

    int exec_err = 0;
    ssize_t got;
    while ((got = ::read(report[0], &exec_err, sizeof exec_err)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof exec_err)) {
        int status;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return exec_err != 0 ? exec_err : ECHILD;
    }
    pid = child;
    return 0;
}

}  // namespace termloom
