// A pane's output stream as tmux gives it: `pipe-pane -O` into a FIFO that
// this process reads (core/output_streams.hpp), opened the first time a
// member needs it and kept while the pane lives.
//
// A user's own pipe is never closed or replaced: a pane piped by anyone
// else has no stream here, and the members that need one say so. Ours is
// named by the pane option @termloom-pipe, whose token tells this process
// that it is ours, and another termloom process that it may take it (the
// one that asks last has the pane's stream; one that records keeps it).
//
// A mark is a place in the stream that tmux fixed: in the tmux run that
// captures a screen, the pipe is closed and at once opened again into a new
// FIFO, so the bytes before the capture went to the old FIFO and every
// byte after it goes to the new one. The start of the new source is then
// exactly the screen's moment.
//
// But tmux drops the bytes it holds for a pipe it closes (read from the
// pane, not yet written to the pipe). So a mark is taken only when the
// pane is quiet: a look first, after a moment without a byte and during
// which none may arrive (else no mark: the pane is printing), and none
// while a run, a recording or a wait of this process reads the stream (a
// recording starts and ends at positions, without a mark). The seam is
// lossy when the pane showed anything else at the reopening than at that
// look, or many bytes came after it: a later wait after an older mark, or
// an `expect` going on across it, says so rather than answer without them.
#pragma once

#include <functional>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "../core/error.hpp"
#include "../core/output_streams.hpp"
#include "../core/turns.hpp"
#include "handles.hpp"
#include "pane_view.hpp"

namespace termloom::pane_ops {

// The key of a pane's stream: its server and its id.
std::string stream_key(const Pane& pane);

// The pane's live stream, opened in one tmux run if there is none; an
// error naming why when it cannot be had (piped by someone else, gone).
Result<streams::StreamId> pane_stream(const Pane& pane, std::string_view failed);

struct MarkedView {
    PaneView view;
    std::optional<StreamMark> mark;  // none: piped by someone else, or busy
    std::string refused;             // then why, for messages
    // None because the pane printed all along, or a reader of this process
    // was on its stream: the stream itself goes on.
    bool busy = false;
};

// While held, no other thread of this process takes a mark on the pane's
// stream. A reader that cannot tell a lossy seam (a run, a recording) takes
// its place in the stream under it: every later mark finds the stream in
// use and takes none, and an earlier one has reopened the pipe already.
using MarkHold = Turn;
Result<MarkHold> hold_marks(const Pane& pane);

// One tmux run: the pane's view and, when its stream is ours (opened now if
// need be), a mark at that very moment. While a run, a recording or a wait
// of this process reads the stream, there is no mark (it could cost them
// bytes). `held`: the caller holds the pane's marks already.
Result<MarkedView> marked_view(const Pane& pane, ViewOptions options, const MarkHold* held = nullptr);

// A view of the pane that takes no mark, and whether the pane's pipe is
// still the one of `stream` (open, under the stream's name).
struct PipedView {
    PaneView view;
    bool ours = false;
};
Result<PipedView> view_of_own_pipe(const Pane& pane, streams::StreamId stream);

// The same for a pane whose process still runs: a pane that is gone or dead
// is the error live_view gives.
Result<MarkedView> live_marked_view(const Pane& pane, ViewOptions options);

// Where a mark is in its stream, once the reading thread has reached it;
// waits for that within the deadline. An error when the mark's stream has
// ended before it.
Result<std::uint64_t> mark_position(const StreamMark& mark,
                                    std::optional<WaitClock::time_point> deadline);

// Tells other termloom processes that the pane's stream records (they do
// not take its pipe then), or no longer does.
Result<void> mark_recording(const Pane& pane, bool recording);

// What wakes a wait on a pane. On this machine: every write to its
// terminal (inotify) and its process's end (a pidfd). Neither can be watched
// on a remote host: there its output stream (opened if need be) wakes the
// wait as the bytes come back, and the schedule does the rest; a pane piped
// by someone else is only looked at on the schedule. Each look clears it.
class PaneWake {
public:
    static Result<PaneWake> of(const Pane& pane, const PaneView& view);
    const WakeSources& sources() const { return sources_; }
    void clear();

private:
    WakeSources sources_;
    std::unique_ptr<streams::Watch> watch_;
};

// wait_until (core/wait.hpp), woken by what wakes a wait on the pane.
Result<bool> wait_on_pane(const Pane& pane, const PaneView& view,
                          std::optional<WaitClock::time_point> deadline,
                          const std::function<Result<Look>()>& look);

// Closes the streams of this process at its end (pipes that are still ours).
void close_streams_at_exit();

}  // namespace termloom::pane_ops
