// The inside of the streams (output_streams.hpp): their records and the one
// hub over all of them, shared by the reading thread and the recordings.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "asciicast.hpp"
#include "output_streams.hpp"

namespace termloom::streams {

// Bytes kept per stream beyond what a pin holds; trimmed when twice that.
constexpr std::size_t kKept = 8 * 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// Ended streams stay readable for the marks into them, up to this many.
constexpr std::size_t kEndedKept = 64;

struct Pending {
    Source source;
    std::uint32_t number;
    std::size_t prefix_seen = 0;  // bytes of source.prefix matched so far
};

struct Recording {
    std::string path;
    std::uint32_t from;
    std::optional<std::uint64_t> from_position;
    std::uint64_t written_to = 0;             // the bytes before this are in the file
    std::optional<std::uint64_t> held_from;   // not written from here on, for now
    std::optional<std::uint64_t> until_position;
    std::unique_ptr<AsciicastWriter> writer;
    bool finished = false;
    bool stream_ended = false;
    std::string error;
    std::uint64_t bytes = 0;
};

// Where a source added for a mark starts: lossy when tmux may have dropped
// bytes it held for the pipe it closed there (see add_source).
struct Seam {
    std::optional<std::uint64_t> previous_end;  // what the stream should hold by then
    std::optional<std::uint64_t> at;            // its position, once reached
    bool verified = false;                      // the marker has compared its looks
    bool lossy = false;
};

struct Stream {
    StreamId id = 0;
    std::string key;
    Owner owner;
    std::optional<Pending> current;   // in the epoll set
    std::deque<Pending> queued;       // read after it, in order
    std::uint32_t next_number = 0;
    std::map<std::uint32_t, std::uint64_t> starts;  // source number -> position
    std::map<std::uint32_t, Seam> seams;             // source number -> its seam
    std::string data;                 // the bytes from `base` on
    std::uint64_t base = 0;
    bool ended = false;
    std::multiset<std::uint64_t> pins;
    std::vector<int> watchers;        // eventfds
    std::optional<Recording> recording;
    std::string failure;              // why a source failed, ending the stream
    std::chrono::steady_clock::time_point last_byte{};

    std::uint64_t end() const { return base + data.size(); }
};

struct Hub {
    std::mutex mutex;
    std::map<StreamId, std::unique_ptr<Stream>> streams;
    std::map<int, StreamId> by_fd;
    std::deque<StreamId> ended;  // oldest first
    StreamId next_id = 1;
    int epoll_fd = -1;
    bool reading = false;        // the thread runs
    std::condition_variable changed;
};

// Never destroyed: the reading thread may run until the process ends.
extern Hub* hub;

// Each of these is called with hub->mutex held.
// Wakes the stream's watchers and every wait on the hub.
void notify(Stream& stream);
bool pending_source(const Stream& stream, std::uint32_t number);
Stream* find_stream(StreamId id);
// Writes to the recording the bytes it wants that are not in the file yet.
void record(Stream& stream);
// Ends the recording: what came goes in, the file is closed.
void finish_recording(Stream& stream);

}  // namespace termloom::streams
