// The output streams of panes: every byte a pane's programs write to its
// terminal, in order, as tmux hands them on, kept for the waits, marks,
// `expect`, `run` and recordings of this process.
//
// A stream is fed by sources, one after the other: a descriptor read to its
// end (the FIFO a `pipe-pane` writes to, or a child's standard output), and
// the child to reap then. A source added while one is being read waits its
// turn, so a pipe reopened in one tmux run continues the stream where the
// old one stopped: the start of each source is a position in the stream
// that tmux itself fixed (see the marks in ops/pane_stream.hpp), less what
// tmux dropped there (see add_source).
// When the last source ends and no other waits, the stream has ended.
//
// One thread of this process reads every source (it is started with the
// first stream, with all signals blocked, and never touches the host's
// interpreter) and writes recordings as the bytes arrive. Positions count
// bytes from the stream's start; a stream keeps its last bytes (8 MiB, or
// more while a position is pinned), and a reader asking for older ones is
// told they are gone. A forked child starts with no streams.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "error.hpp"

namespace termloom::streams {

using StreamId = std::uint64_t;

struct Source {
    int fd = -1;        // read to its end, then closed; owned by the stream from now on
    pid_t child = 0;    // reaped when the source ends (killed if the stream is dropped)
    std::string path;   // a FIFO to remove then; "" for none
    // A source read through a child (from a remote host): what its bytes
    // start with before the pane's (dropped), its standard error (read when
    // it ends), and how a failure names it. A child that ends with anything
    // but exit status 0, or bytes that do not start so, fail the stream.
    std::string prefix;
    int err_fd = -1;
    std::string label;
};

// What the opener of a stream keeps with it.
struct Owner {
    std::optional<std::string> address;  // the pane's server, as handles carry it
    std::string pane_id;
    std::string token;        // the stream's name in tmux (the pane option of its pipe)
    std::string socket_path;  // the server's socket, as tmux reports it
    std::string tmux_path;    // the tmux program on the server's host
};

// A new stream for `key` (one per pane and server), read from `source`; a
// live stream of the same key is left to end on its own. Errors only when
// the reading thread cannot be started.
Result<StreamId> create(const std::string& key, Source source, Owner owner);

// The owners of every stream of this process, the live ones flagged.
std::vector<std::pair<bool, Owner>> all_owners();

// The live stream of `key` (not ended), if any, and its owner.
std::optional<StreamId> find(const std::string& key);
std::optional<Owner> owner(StreamId id);
// The name in tmux of the stream's pipe now (each reopened pipe has its own).
void set_token(StreamId id, std::string token);

// Whether the writer of the newest source has gone (its end of file may be
// unread yet): a pipe that tmux closed, even if the reading thread has not
// seen it. An older source's end is only the hand-over to a newer one.
bool writer_gone(StreamId id);

// A source read after the current one ends; its number, whose start
// position is known once it is reached.
//
// tmux drops what it holds for a pipe it closes (bytes read from the pane
// and not yet written to the pipe), so where a reopened pipe's source
// starts, bytes may be missing. The one who reopens it tells: the stream
// should hold about `previous_end` bytes when the source starts (many more
// mean the pipe was behind), and verify_source says whether the pane
// showed the same until the pipe was reopened. Either failing makes the
// seam lossy. (Without `previous_end` only verify_source tells.)
std::optional<std::uint32_t> add_source(StreamId id, Source source,
                                        std::optional<std::uint64_t> previous_end);
void verify_source(StreamId id, std::uint32_t number, bool same);
// Whether bytes may be missing between positions `from` and `to`: a lossy
// seam after `from` and at or before `to` (the bytes a seam lacks come just
// before it). A seam reached but not yet verified is waited for (its
// reopener is one tmux run from telling); one still unverified after
// `seconds` counts as lossy.
Result<bool> lost_between(StreamId id, std::uint64_t from, std::uint64_t to, double seconds = 10.0);
// Whether a reader of this process is on the stream (a position pinned by
// a run or a wait, a recording going on): a lossy seam would cost it bytes.
bool in_use(StreamId id);
// The child that writes source `number` (a queued or the current one),
// known once the source is in place; its standard error descriptor with it.
void attach_child(StreamId id, std::uint32_t number, pid_t child, int err_fd);

// Why the stream ended, when a source failed (its child or its first
// bytes, see Source); "" when it ended as streams do.
std::string failure(StreamId id);

// A source that will never be written (the command opening it failed):
// dropped, even if the reading thread has just reached it. The stream then
// ends with the source before it.
void cancel_source(StreamId id, std::uint32_t number);
// Where source `number` starts; none until it is reached (or if it never is).
std::optional<std::uint64_t> source_start(StreamId id, std::uint32_t number);
// Whether source `number` can still be reached (not cancelled, stream not ended).
bool source_pending(StreamId id, std::uint32_t number);

struct Span {
    std::uint64_t begin = 0;  // the oldest byte kept
    std::uint64_t end = 0;    // the bytes so far
    bool ended = false;       // no more will come
    bool known = true;        // false: no such stream in this process
    std::chrono::steady_clock::time_point last_byte{};  // when the last one came
};

// Appends the bytes from `from` to the end to `out` (those still kept).
Span read(StreamId id, std::uint64_t from, std::string* out);
Span span(StreamId id);

// Keeps the bytes from `position` on while it lives.
class Pin {
public:
    Pin(StreamId id, std::uint64_t position);
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin();

private:
    StreamId id_;
    std::uint64_t position_;
};

// A descriptor that turns readable when the stream changes (bytes arrived,
// a source began, it ended); `clear` before looking again.
class Watch {
public:
    explicit Watch(StreamId id);
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    ~Watch();
    int fd() const { return fd_; }
    void clear() const;

private:
    StreamId id_;
    int fd_;
};

// Recording: everything from source `from` on, as asciicast v2 events to
// `fd` (taken over) at `path`, after `header`: the file is emptied and the
// header written only once the recording is this pane's one, so a second
// recording is refused without touching the first (or its file). Bytes are
// written as they arrive; the stream's own markers are left out. The error
// names the recording there is already (its path), or why writing failed.
struct RecordingRefused {
    std::string already;  // the path of the pane's recording; "" for another reason
    std::string why;
};
// A recording can also start at a position (`from_position`), where no
// source starts.
std::expected<void, RecordingRefused> start_recording(StreamId id, std::uint32_t from, int fd,
                                                     std::string path, std::string_view header,
                                                     std::optional<std::uint64_t> from_position = {});

// A run's own bytes (what it typed, and its markers) stay out of a
// recording: the recording holds what comes from `position` on until the
// release, which writes `text` in the place of [begin, end) and the rest as
// it is (without a replacement, all of it).
struct Replacement {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    std::string text;
};
void hold_recording(StreamId id, std::uint64_t position);
void release_recording(StreamId id, std::optional<Replacement> replacement);

// The stream of `key` (live or ended) that has a recording not yet stopped,
// and the recording's path.
struct RecordingOf {
    StreamId stream = 0;
    std::string path;
};
std::optional<RecordingOf> recording_of(const std::string& key);

// Ends the recording at position `until` (none: at the stream's end),
// which the stream has reached, writes what is left and closes the file.
// The recording's error, if writing failed; `ended` tells whether the
// stream had ended (its last source closed).
struct Finished {
    bool stream_ended = false;
    std::string error;       // "" when every byte was written
    std::uint64_t bytes = 0; // written to the file
};
Result<Finished> stop_recording(StreamId id, std::optional<std::uint64_t> until);

// The markers that commands in a pane print for termloom: ESC ] 6973 ; TEXT BEL.
inline constexpr std::string_view kMarkerStart = "\x1b]6973;";
inline constexpr char kMarkerEnd = '\x07';

}  // namespace termloom::streams
