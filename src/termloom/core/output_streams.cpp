// The streams and the thread that reads them: epoll over the current source
// of every stream, one mutex over all of it.
#include "output_streams.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process.hpp"
#include "quiet_thread.hpp"
#include "stream_children.hpp"
#include "stream_hub.hpp"

namespace termloom::streams {

// Never destroyed: the reading thread may run until the process ends.
Hub* hub = new Hub();

void notify(Stream& stream) {
    const std::uint64_t one = 1;
    for (int fd : stream.watchers) {
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
    hub->changed.notify_all();
}

// Whether source `number` of `stream` is still to come.
bool pending_source(const Stream& stream, std::uint32_t number) {
    if (stream.ended || stream.starts.contains(number)) return false;
    return std::ranges::any_of(stream.queued, [&](const Pending& p) { return p.number == number; });
}

Stream* find_stream(StreamId id) {
    auto it = hub->streams.find(id);
    return it == hub->streams.end() ? nullptr : it->second.get();
}

namespace {

void trim(Stream& stream) {
    if (stream.data.size() < 2 * kKept) return;
    std::uint64_t keep_from = stream.end() - kKept;
    if (!stream.pins.empty()) keep_from = std::min(keep_from, *stream.pins.begin());
    if (stream.recording && !stream.recording->finished) {
        keep_from = std::min(keep_from, stream.recording->written_to);
    }
    if (keep_from <= stream.base) return;
    stream.data.erase(0, static_cast<std::size_t>(keep_from - stream.base));
    stream.base = keep_from;
}

// The source is done with: its descriptor, its FIFO, its child.
void release(const Source& source, bool kill_first);

void release(const Source& source, bool kill_first) {
    ::close(source.fd);
    if (source.err_fd >= 0) ::close(source.err_fd);
    if (!source.path.empty()) ::unlink(source.path.c_str());
    reap_child(source.child, kill_first);
}

void watch_source(Stream& stream) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = stream.current->source.fd;
    ::epoll_ctl(hub->epoll_fd, EPOLL_CTL_ADD, stream.current->source.fd, &event);
    hub->by_fd[stream.current->source.fd] = stream.id;
}

// More than this many bytes on their way when a pipe is closed means it
// was full: tmux's socket holds far more than this before it is.
constexpr std::uint64_t kLateBytes = 32 * 1024;

void set_start(Stream& stream, std::uint32_t number) {
    stream.starts[number] = stream.end();
    if (stream.starts.size() > 256) stream.starts.erase(stream.starts.begin());
    if (auto seam = stream.seams.find(number); seam != stream.seams.end()) {
        seam->second.at = stream.end();
        // Many bytes came after the pane was last seen quiet: the pipe was
        // behind (tmux writes to a full pipe later, and drops that when it
        // closes it). A few are only late: bytes on their way through the
        // pipe and its copy, which tmux had written.
        if (seam->second.previous_end && stream.end() > *seam->second.previous_end + kLateBytes) {
            seam->second.lossy = true;
        }
    }
    if (stream.recording && !stream.recording->finished && stream.recording->from == number) {
        stream.recording->from_position = stream.end();
    }
}

void mark_ended(Stream& stream) {
    stream.ended = true;
    if (stream.recording) finish_recording(stream);
    hub->ended.push_back(stream.id);
    while (hub->ended.size() > kEndedKept) {
        auto it = hub->streams.find(hub->ended.front());
        hub->ended.pop_front();
        if (it != hub->streams.end() && it->second->watchers.empty() && it->second->pins.empty() &&
            !it->second->recording) {
            hub->streams.erase(it);
        }
    }
}

// The stream ends because a source failed: what is queued is dropped.
void fail(Stream& stream, std::string why) {
    stream.failure = std::move(why);
    for (const Pending& pending : stream.queued) release(pending.source, true);
    stream.queued.clear();
}

// The current source has ended (or is dropped, its child killed): the next
// one takes over, or the stream ends.
void next_source(Stream& stream, bool kill_first = false) {
    const Pending done = *stream.current;
    ::epoll_ctl(hub->epoll_fd, EPOLL_CTL_DEL, done.source.fd, nullptr);
    hub->by_fd.erase(done.source.fd);
    if (!kill_first && (done.source.child > 0 || !done.source.prefix.empty())) {
        if (std::string why = finish_child_source(done.source, done.prefix_seen); !why.empty()) {
            fail(stream, std::move(why));
        }
    } else {
        release(done.source, kill_first);
    }
    stream.current.reset();
    if (!stream.queued.empty()) {
        Pending next = stream.queued.front();
        stream.queued.pop_front();
        stream.current = next;
        set_start(stream, next.number);
        watch_source(stream);
        return;
    }
    mark_ended(stream);
}

// Matches the new bytes from `from` on against what is left of the
// current source's prefix, and takes the matched part out of the data;
// false on a mismatch.
bool take_prefix(Stream& stream, std::size_t from) {
    Pending& current = *stream.current;
    const std::string& prefix = current.source.prefix;
    if (current.prefix_seen == prefix.size()) return true;
    const std::size_t got = stream.data.size() - from;
    const std::size_t wanted = std::min(got, prefix.size() - current.prefix_seen);
    if (stream.data.compare(from, wanted, prefix, current.prefix_seen, wanted) != 0) return false;
    current.prefix_seen += wanted;
    stream.data.erase(from, wanted);
    return true;
}

void read_source(Stream& stream) {
    const int fd = stream.current->source.fd;
    for (int round = 0; round < 16; ++round) {
        const std::size_t old_size = stream.data.size();
        stream.data.resize(old_size + kReadChunk);
        const ssize_t got = ::read(fd, stream.data.data() + old_size, kReadChunk);
        stream.data.resize(old_size + (got > 0 ? static_cast<std::size_t>(got) : 0));
        if (got > 0 && !take_prefix(stream, old_size)) {
            // Not what the child prints first: nothing of it is the pane's.
            stream.data.resize(old_size);
            const Pending done = *stream.current;
            ::epoll_ctl(hub->epoll_fd, EPOLL_CTL_DEL, done.source.fd, nullptr);
            hub->by_fd.erase(done.source.fd);
            release(done.source, true);
            stream.current.reset();
            fail(stream, (done.source.label.empty() ? std::string("a source of the stream")
                                                    : done.source.label) +
                             " failed: its output did not start as it should (something printed "
                             "before the command ran?)");
            mark_ended(stream);
            break;
        }
        if (got > 0) {
            stream.last_byte = std::chrono::steady_clock::now();
            record(stream);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
        next_source(stream);  // end of file, or an error no retry cures
        break;
    }
    trim(stream);
    notify(stream);
}

void reading_loop() {
    epoll_event events[16];
    for (;;) {
        const int ready = ::epoll_wait(hub->epoll_fd, events, 16, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        std::lock_guard lock(hub->mutex);
        for (int i = 0; i < ready; ++i) {
            auto fd = hub->by_fd.find(events[i].data.fd);
            if (fd == hub->by_fd.end()) continue;
            auto it = hub->streams.find(fd->second);
            if (it == hub->streams.end() || !it->second->current) continue;
            read_source(*it->second);
        }
    }
}

Result<void> start_reading() {
    if (hub->reading) return {};
    if (hub->epoll_fd < 0) hub->epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (hub->epoll_fd < 0) return runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
    try {
        quiet_thread(reading_loop).detach();
    } catch (const std::system_error& error) {
        return runtime_error(std::string("cannot start the stream reader: ") + error.what());
    }
    hub->reading = true;
    return {};
}

void make_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// A forked child has none of the parent's streams, and keeps none of their
// descriptors open (a reader in the child would hide the parent's end).
void before_fork() { hub->mutex.lock(); }
void after_fork_in_parent() { hub->mutex.unlock(); }
void after_fork_in_child() {
    Hub* old = hub;
    for (auto& [id, stream] : old->streams) {
        auto close_source = [](const Source& source) {
            ::close(source.fd);
            if (source.err_fd >= 0) ::close(source.err_fd);
        };
        if (stream->current) close_source(stream->current->source);
        for (const Pending& pending : stream->queued) close_source(pending.source);
        for (int fd : stream->watchers) ::close(fd);
    }
    if (old->epoll_fd >= 0) ::close(old->epoll_fd);
    hub = new Hub();  // the old one stays behind, untouched: its mutex may be held
}

[[maybe_unused]] const int fork_handlers_installed =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

}  // namespace

Result<StreamId> create(const std::string& key, Source source, Owner owner) {
    std::lock_guard lock(hub->mutex);
    if (auto started = start_reading(); !started) {
        release(source, true);
        return std::unexpected(started.error());
    }
    auto stream = std::make_unique<Stream>();
    stream->id = hub->next_id++;
    stream->key = key;
    stream->owner = std::move(owner);
    make_nonblocking(source.fd);
    stream->current = Pending{source, stream->next_number++};
    stream->starts[0] = 0;
    Stream& added = *stream;
    hub->streams[added.id] = std::move(stream);
    watch_source(added);
    return added.id;
}

std::vector<std::pair<bool, Owner>> all_owners() {
    std::lock_guard lock(hub->mutex);
    std::vector<std::pair<bool, Owner>> out;
    for (const auto& [id, stream] : hub->streams) out.emplace_back(!stream->ended, stream->owner);
    return out;
}

std::optional<StreamId> find(const std::string& key) {
    std::lock_guard lock(hub->mutex);
    for (auto it = hub->streams.rbegin(); it != hub->streams.rend(); ++it) {
        if (it->second->key == key && !it->second->ended) return it->first;
    }
    return std::nullopt;
}

std::optional<Owner> owner(StreamId id) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream) return std::nullopt;
    return stream->owner;
}

bool writer_gone(StreamId id) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream || !stream->current) return true;
    // A source no writer has opened yet does not hang up.
    const Pending& newest = stream->queued.empty() ? *stream->current : stream->queued.back();
    pollfd entry{newest.source.fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLERR)) != 0;
}

void set_token(StreamId id, std::string token) {
    std::lock_guard lock(hub->mutex);
    if (Stream* stream = find_stream(id)) stream->owner.token = std::move(token);
}

std::optional<std::uint32_t> add_source(StreamId id, Source source,
                                        std::optional<std::uint64_t> previous_end) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream || stream->ended) {
        release(source, true);
        return std::nullopt;
    }
    make_nonblocking(source.fd);
    const std::uint32_t number = stream->next_number++;
    stream->queued.push_back(Pending{source, number});
    stream->seams[number] = Seam{previous_end, std::nullopt, false, false};
    // The clean ones tell nothing once reached: the oldest of them go.
    for (auto it = stream->seams.begin(); stream->seams.size() > 256 && it != stream->seams.end();) {
        it = it->second.at && it->second.verified && !it->second.lossy ? stream->seams.erase(it)
                                                                        : std::next(it);
    }
    return number;
}

void verify_source(StreamId id, std::uint32_t number, bool same) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream) return;
    if (auto seam = stream->seams.find(number); seam != stream->seams.end()) {
        seam->second.verified = true;
        if (!same) seam->second.lossy = true;
    }
    hub->changed.notify_all();
}

bool in_use(StreamId id) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    return stream && (!stream->pins.empty() || (stream->recording && !stream->recording->finished));
}

Result<bool> lost_between(StreamId id, std::uint64_t from, std::uint64_t to, double seconds) {
    std::unique_lock lock(hub->mutex);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    for (;;) {
        Stream* stream = find_stream(id);
        if (!stream) return false;
        bool unverified = false;
        for (const auto& [number, seam] : stream->seams) {
            if (!seam.at || *seam.at <= from || *seam.at > to) continue;
            if (seam.lossy) return true;
            if (!seam.verified) unverified = true;
        }
        if (!unverified) return false;
        if (std::chrono::steady_clock::now() >= deadline) return true;
        // The interrupt check runs between short waits.
        hub->changed.wait_for(lock, std::chrono::milliseconds(20));
        lock.unlock();
        const bool stop = host_wants_to_stop();
        lock.lock();
        if (stop) return interrupted();
    }
}

void attach_child(StreamId id, std::uint32_t number, pid_t child, int err_fd) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    auto give_up = [&] {
        if (child > 0) reap_child(child, true);
        if (err_fd >= 0) ::close(err_fd);
    };
    if (!stream) return give_up();
    if (stream->current && stream->current->number == number) {
        stream->current->source.child = child;
        stream->current->source.err_fd = err_fd;
        return;
    }
    for (Pending& pending : stream->queued) {
        if (pending.number != number) continue;
        pending.source.child = child;
        pending.source.err_fd = err_fd;
        return;
    }
    give_up();  // the source is gone already
}

std::string failure(StreamId id) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    return stream ? stream->failure : std::string();
}

void cancel_source(StreamId id, std::uint32_t number) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream) return;
    // It carries no bytes: its seam has nothing to tell.
    stream->seams.erase(number);
    // The source before it may have ended meanwhile, making it the current one.
    if (stream->current && stream->current->number == number) {
        next_source(*stream, true);
        notify(*stream);
        return;
    }
    for (auto it = stream->queued.begin(); it != stream->queued.end(); ++it) {
        if (it->number != number) continue;
        release(it->source, true);
        stream->queued.erase(it);
        notify(*stream);
        return;
    }
}

std::optional<std::uint64_t> source_start(StreamId id, std::uint32_t number) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream) return std::nullopt;
    auto it = stream->starts.find(number);
    if (it == stream->starts.end()) return std::nullopt;
    return it->second;
}

bool source_pending(StreamId id, std::uint32_t number) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    return stream && pending_source(*stream, number);
}

Span read(StreamId id, std::uint64_t from, std::string* out) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream) return Span{0, 0, true, false};
    if (out && from < stream->end()) {
        const std::uint64_t begin = std::max(from, stream->base);
        out->append(stream->data, static_cast<std::size_t>(begin - stream->base), std::string::npos);
    }
    return Span{stream->base, stream->end(), stream->ended, true, stream->last_byte};
}

Span span(StreamId id) { return read(id, 0, nullptr); }

Pin::Pin(StreamId id, std::uint64_t position) : id_(id), position_(position) {
    std::lock_guard lock(hub->mutex);
    if (Stream* stream = find_stream(id_)) stream->pins.insert(position_);
}

Pin::~Pin() {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id_);
    if (!stream) return;
    auto it = stream->pins.find(position_);
    if (it != stream->pins.end()) stream->pins.erase(it);
}

Watch::Watch(StreamId id) : id_(id), fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id_);
    if (stream && fd_ >= 0) stream->watchers.push_back(fd_);
}

Watch::~Watch() {
    {
        std::lock_guard lock(hub->mutex);
        if (Stream* stream = find_stream(id_)) std::erase(stream->watchers, fd_);
    }
    if (fd_ >= 0) ::close(fd_);
}

void Watch::clear() const {
    std::uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
}

}  // namespace termloom::streams
