#include "wrapper_feed.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../core/quiet_thread.hpp"
#include "../core/text.hpp"
#include "host_files.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

// How long a feed handed over is fed before it is given up, and how often
// it is tried meanwhile.
constexpr auto kLateFeedTime = std::chrono::seconds(60);
constexpr auto kLateFeedPause = std::chrono::milliseconds(10);

struct LateFeed {
    WrapperFeed feed;
    SocketPath socket;
    std::chrono::steady_clock::time_point until;
};

// Never destroyed: the thread may run until the process ends.
std::mutex* late_mutex = new std::mutex();
std::vector<std::unique_ptr<LateFeed>>* late_feeds = new std::vector<std::unique_ptr<LateFeed>>();
bool late_thread_runs = false;

// Lets whoever waits to open the FIFO go on (opening it for reading and
// writing at once, and closing it: a shell then reads an empty wrapper,
// which its typed line reports as unread), then removes it. This thread
// runs no command (a run asks the host's interrupt check, which is not
// to be called here): on a remote host the FIFO goes with the host's
// files due, and a writer there still waiting on it is let go as this
// process removes its folder on that host, at its exit.
void give_up(LateFeed& late) {
    const std::string path = late.feed.path();
    if (!late.feed.remote()) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    }
    remove_host_files(late.socket, {path});
}

void feeding_loop() {
    for (;;) {
        std::vector<std::unique_ptr<LateFeed>> taken;
        {
            std::lock_guard lock(*late_mutex);
            if (late_feeds->empty()) {
                late_thread_runs = false;
                return;
            }
            taken.swap(*late_feeds);
        }
        std::vector<std::unique_ptr<LateFeed>> kept;
        for (auto& late : taken) {
            auto fed = late->feed.advance();
            if (fed && late->feed.fed()) continue;
            if (!fed || std::chrono::steady_clock::now() >= late->until) {
                give_up(*late);
                continue;
            }
            kept.push_back(std::move(late));
        }
        {
            std::lock_guard lock(*late_mutex);
            for (auto& late : kept) late_feeds->push_back(std::move(late));
        }
        std::this_thread::sleep_for(kLateFeedPause);
    }
}

// A forked child feeds none of its parent's (the old list stays behind,
// untouched: its mutex may be held).
void before_fork() { late_mutex->lock(); }
void after_fork_in_parent() { late_mutex->unlock(); }
void after_fork_in_child() {
    late_mutex = new std::mutex();
    late_feeds = new std::vector<std::unique_ptr<LateFeed>>();
    late_thread_runs = false;
}

[[maybe_unused]] const int fork_handlers_installed =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

}  // namespace

WrapperFeed::WrapperFeed(WrapperFeed&& other) noexcept
    : path_(std::move(other.path_)), text_(std::move(other.text_)), fd_(other.fd_),
      written_(other.written_), done_(other.done_), writer_(std::move(other.writer_)) {
    other.fd_ = -1;
    other.writer_.reset();
}

WrapperFeed::~WrapperFeed() {
    if (fd_ >= 0) ::close(fd_);
}

Result<void> WrapperFeed::start_remote(const Pane& pane) {
    auto writer = HostChild::start(HostCommand{pane.socket, {"sh", "-c", "exec cat >\"$1\"", "sh", path_}},
                                   HostChildOptions{.input = text_, .ends_with_caller = false, .stdout_fd = -1});
    if (!writer) return runtime_error(std::string(kSpawnPrefix) + writer.error().text);
    writer_.emplace(std::move(*writer));
    return {};
}

Result<void> WrapperFeed::advance() {
    if (done_) return {};
    if (writer_) return advance_remote();
    if (fd_ < 0) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            if (errno == ENXIO || errno == EINTR) return {};  // no reader yet
            return runtime_error("run failed: cannot write " + quote_text(path_) + ": " + std::strerror(errno));
        }
    }
    while (written_ < text_.size()) {
        const ssize_t wrote = ::write(fd_, text_.data() + written_, text_.size() - written_);
        if (wrote < 0) {
            if (errno == EAGAIN || errno == EINTR) return {};
            return runtime_error("run failed: cannot write " + quote_text(path_) + ": " + std::strerror(errno));
        }
        written_ += static_cast<std::size_t>(wrote);
    }
    ::close(fd_);  // the shell's end of file
    fd_ = -1;
    done_ = true;
    return {};
}

Result<void> WrapperFeed::advance_remote() {
    writer_->write_input();
    if (!writer_->read_available()) return {};
    auto ended = writer_->finish();
    if (!ended) return runtime_error("run failed: " + ended.error().text);
    if (!WIFEXITED(*ended) || WEXITSTATUS(*ended) != 0) {
        return runtime_error("run failed: cannot write " + quote_text(path_) + ": " +
                             std::string(trim(decode_lossy(writer_->stderr_bytes()))));
    }
    done_ = true;
    return {};
}

void WrapperFeed::finish_later(WrapperFeed feed, SocketPath socket) {
    if (feed.done_) return;
    auto late = std::make_unique<LateFeed>(
        LateFeed{std::move(feed), std::move(socket), std::chrono::steady_clock::now() + kLateFeedTime});
    std::lock_guard lock(*late_mutex);
    late_feeds->push_back(std::move(late));
    if (late_thread_runs) return;
    try {
        quiet_thread(feeding_loop).detach();
        late_thread_runs = true;
    } catch (const std::system_error&) {
        // No thread: the FIFO is given up at once.
        std::unique_ptr<LateFeed> taken = std::move(late_feeds->back());
        late_feeds->pop_back();
        give_up(*taken);
    }
}

}  // namespace termloom::pane_ops
