// Recording a pane: its output stream (pane_stream.hpp), from a mark taken
// now, written as asciicast v2 by this process as the bytes arrive
// (core/asciicast.hpp). Stopping returns once every byte the pane wrote
// before it is in the file, and the file closed. (A pane that prints all
// along has no mark: the recording starts with the bytes that have come.)
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "../core/asciicast.hpp"
#include "../core/output_streams.hpp"
#include "../core/text.hpp"
#include "pane.hpp"
#include "pane_stream.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

constexpr std::string_view kRecordFailed = "record failed: ";
constexpr std::string_view kStopFailed = "stop recording failed: ";
// Everything before the stop is read and written in far less; past this
// something is wrong with the stream.
constexpr double kFinishSeconds = 10.0;
// How long the pipe of a pane whose program has ended stays without a byte
// before all it wrote counts as come through.
constexpr auto kDrain = std::chrono::milliseconds(250);
// A recording ends once no byte has come for this long since the stop's
// look and the last byte (on a remote host, where bytes come through ssh or
// the engine, the second), or after the last limit while the pane prints on.
constexpr auto kStopQuiet = std::chrono::milliseconds(100);
constexpr auto kRemoteStopQuiet = std::chrono::milliseconds(500);
constexpr double kStopMostSeconds = 2.0;

std::string os_error(int err) {
    char buf[256];
    return ::strerror_r(err, buf, sizeof buf);  // GNU: returns the text
}

std::string absolute(const std::string& path) {
    char buf[4096];
    if (path.starts_with('/') || !::getcwd(buf, sizeof buf)) return path;
    std::string out(buf);
    out.push_back('/');
    out.append(path.data(), path.size());
    return out;
}

}  // namespace

Result<bool> record(const Pane& pane, std::string path) {
    const std::string key = stream_key(pane);
    // A second recording is refused before anything runs: the first goes on untouched.
    if (auto current = streams::recording_of(key)) {
        return runtime_error("pane " + pane.pane_id + " is already recording to " +
                             quote_text(current->path));
    }
    if (path.find('\0') != std::string::npos) return value_error("record: the path holds NUL (\"\\0\")");
    path = absolute(path);
    // Emptied only once the recording is the pane's one (start_recording).
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return runtime_error(std::string(kRecordFailed) + "cannot write " + quote_text(path) + ": " +
                             os_error(errno));
    }
    // The recording starts before another thread's mark can reopen the pipe
    // (and drop what the pane writes meanwhile).
    auto marks_held = hold_marks(pane);
    if (!marks_held) {
        ::close(fd);
        return std::unexpected(marks_held.error());
    }
    auto seen = marked_view(pane, {}, &*marks_held);
    // A pane that prints all along gets no mark (nor one whose stream a run
    // of this process reads): its recording starts after the bytes that
    // have come.
    std::optional<streams::StreamId> stream;
    std::optional<std::uint64_t> from_position;
    if (seen && seen->mark) {
        stream = seen->mark->stream;
    } else if (seen && seen->busy) {
        stream = streams::find(key);
        if (stream) from_position = streams::span(*stream).end;
    }
    if (!seen || !seen->view.gone.empty() || !stream) {
        ::close(fd);
        if (!seen) return std::unexpected(seen.error());
        if (!seen->view.gone.empty()) return runtime_error(std::string(kRecordFailed) + seen->view.gone);
        return runtime_error(std::string(kRecordFailed) + seen->refused);
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string header = asciicast_header(
        seen->view.screen.width, seen->view.screen.height,
        std::chrono::duration_cast<std::chrono::seconds>(now).count());
    auto started = streams::start_recording(*stream, seen->mark ? seen->mark->source : 0, fd, path,
                                            header, from_position);
    if (!started) {
        if (!started.error().already.empty()) {
            return runtime_error("pane " + pane.pane_id + " is already recording to " +
                                 quote_text(started.error().already));
        }
        return runtime_error(std::string(kRecordFailed) + "cannot write " + quote_text(path) + ": " +
                             started.error().why);
    }
    if (auto marked = mark_recording(pane, true); !marked) return std::unexpected(marked.error());
    return true;
}

Result<bool> stop_recording(const Pane& pane) {
    auto current = streams::recording_of(stream_key(pane));
    if (!current) return false;
    // Everything the pane wrote before now goes in. A mark would reopen
    // the pane's pipe, and tmux drops what it still holds for a pipe it
    // closes: the recording ends, while the pipe is still ours, once no
    // byte has come for kStopQuiet since the look below (what the pane wrote
    // before the stop has come through then), or at the bytes that have come
    // after kStopMost when it prints on; else at the stream's end.
    std::optional<std::uint64_t> until_position;
    auto seen = view_of_own_pipe(pane, current->stream);
    if (!seen) return std::unexpected(seen.error());
    const bool pane_gone = !seen->view.gone.empty();
    if (seen->ours && !seen->view.dead) {
        // Quiet before the look says nothing of bytes still on their way.
        const auto looked = WaitClock::now();
        auto host = host_of(pane.socket);
        const auto quiet = host && host->remote() ? kRemoteStopQuiet : kStopQuiet;
        streams::Watch watch(current->stream);
        auto settled = wait_until(
            deadline_after(Seconds{kStopMostSeconds}), WakeSources{{}, 0, {watch.fd()}}, [&]() -> Result<Look> {
                watch.clear();
                const auto now = streams::span(current->stream);
                const auto since = WaitClock::now() - std::max(now.last_byte, looked);
                if (now.ended || since >= quiet) return Look{Progress::Done, {}};
                return Look{Progress::Unchanged, WaitClock::now() + (quiet - since)};
            });
        if (!settled) return std::unexpected(settled.error());
        until_position = streams::span(current->stream).end;
    }
    if (!until_position) {
        // Its pipe is closed (the pane is gone, or someone closed it): the
        // recording ends with the stream's last byte, once that is read.
        // A pane whose program has ended and that tmux keeps (remain-on-exit)
        // takes no new pipe from tmux 3.3 on, and tmux keeps the old one open
        // while the pane stays: its program writes no more, so the recording
        // ends once what it wrote has come through the pipe, when no byte has
        // come for kDrain.
        const bool dead = seen->view.dead && !pane_gone;
        streams::Watch watch(current->stream);
        std::uint64_t seen_end = streams::span(current->stream).end;
        auto quiet_from = WaitClock::now();
        auto ended = wait_until(
            deadline_after(Seconds{kFinishSeconds}), WakeSources{{}, 0, {watch.fd()}}, [&]() -> Result<Look> {
                watch.clear();
                const auto now = streams::span(current->stream);
                if (now.ended) return Look{Progress::Done, {}};
                if (!dead) return Look{Progress::Unchanged, {}};
                if (now.end != seen_end) {
                    seen_end = now.end;
                    quiet_from = WaitClock::now();
                    return Look{Progress::Changed, quiet_from + kDrain};
                }
                if (WaitClock::now() - quiet_from >= kDrain) return Look{Progress::Done, {}};
                return Look{Progress::Unchanged, quiet_from + kDrain};
            });
        if (!ended) return std::unexpected(ended.error());
    }
    auto finished = streams::stop_recording(current->stream, until_position);
    if (!finished) return std::unexpected(finished.error());
    if (!pane_gone) (void)mark_recording(pane, false);
    const std::string file = quote_text(current->path);
    if (!finished->error.empty()) {
        return runtime_error(std::string(kStopFailed) + "the recording to " + file + " is cut short: " +
                             finished->error + " (after " + std::to_string(finished->bytes) +
                             " bytes of events)");
    }
    if (finished->stream_ended && !pane_gone) {
        return runtime_error(std::string(kStopFailed) + "pane " + pane.pane_id +
                             "'s output stream ended while recording (its pipe-pane was closed "
                             "or replaced): " + file + " holds the output up to then");
    }
    return true;
}

}  // namespace termloom::pane_ops
