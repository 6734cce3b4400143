// The children that feed stream sources (a reader on a remote host): how
// one is reaped, and what its end says.
#include "stream_children.hpp"

#include <cerrno>
#include <csignal>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process.hpp"

namespace termloom::streams {
namespace {

// What is left on a child's standard error once it ended.
std::string error_text(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buf, static_cast<std::size_t>(got));
        if (text.size() > 64 * 1024) break;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

// A child whose output has ended is reaped; one still running a moment
// later (it closed its output but goes on) is killed, so the reading thread
// never waits for it long. Its wait status; -1 when it was killed here.
int reap_child(pid_t child, bool kill_first) {
    if (child <= 0) return -1;
    int status = 0;
    if (!kill_first) {
        // A client that has sent its last bytes exits at once: a few
        // milliseconds at most, as a rule.
        for (int i = 0; i < 200; ++i) {
            const pid_t done = ::waitpid(child, &status, WNOHANG);
            if (done == child) return status;
            if (done < 0 && errno != EINTR) return -1;
            ::poll(nullptr, 0, 1);
        }
    }
    ::kill(child, SIGKILL);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

// The end of a source read through a child: why it failed, or "".
std::string finish_child_source(const Source& source, std::size_t prefix_seen) {
    ::close(source.fd);
    const int status = reap_child(source.child, false);
    std::string said = source.err_fd >= 0 ? error_text(source.err_fd) : std::string();
    if (source.err_fd >= 0) ::close(source.err_fd);
    if (!source.path.empty()) ::unlink(source.path.c_str());
    const bool clean = status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (clean && prefix_seen == source.prefix.size()) return {};
    if (said.empty()) {
        said = source.child <= 0 ? "its reader did not start"
               : status < 0      ? "its reader did not end"
                                 : "its reader ended with " + exit_description(status);
        if (clean) said = "its output did not start as it should";
    }
    return (source.label.empty() ? std::string("a source of the stream") : source.label) + " failed: " + said;
}

}  // namespace termloom::streams
