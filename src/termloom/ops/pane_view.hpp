// What the waits of a pane look at: its screen, and whether its process
// still runs. Shared by the screen waits and the shell command run.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "../core/error.hpp"
#include "../core/tmux_command.hpp"
#include "../core/wait.hpp"
#include "handles.hpp"

namespace termloom::pane_ops {

struct PaneView {
    std::string gone;  // tmux's error when it found no such pane; then nothing else is set
    Screen screen;
    bool dead = false;  // the process has ended and the pane was kept
    pid_t pid = 0;
    std::string tty;
    std::uint64_t history_size = 0;  // lines above the visible screen
    std::uint64_t history_limit = 0;
    std::string written;             // with as_written: the capture with its blanks
    std::vector<std::string> before; // the lines printed by ViewOptions::before
};

struct ViewOptions {
    bool escapes = false;            // colours and attributes kept (-e)
    bool as_written = false;         // trailing blanks kept (-N); Screen.text drops them
    bool only_written = false;       // with as_written: no blank cells past the last written one (-T, 3.4+)
    bool joined = false;             // wrapped lines joined (-J)
    std::uint32_t lines_above = 0;   // history lines captured above the screen
    bool whole_history = false;      // all of it (lines_above is then ignored)
    std::span<const Arg> then = {};  // commands run after the view, by the same tmux
    std::span<const Arg> before = {};  // commands run before it, printing `before_lines` lines
    std::size_t before_lines = 0;
};

// One tmux process: capture-pane, which fails for a pane that is gone, then
// the cursor, size and state of the same pane. tmux failing is a view with
// `gone` set; only a failed run is an error.
Result<PaneView> view_pane(const Pane& pane, ViewOptions options);

// A view of a pane whose process still runs: a pane that is gone or dead
// is the error "pane <id> <how it ended>", unless `ended` names it otherwise.
Result<PaneView> live_view(const Pane& pane, ViewOptions options, std::string_view ended = {});

// send-keys of `keys` as literal text, then of Enter when `enter` is true.
std::vector<Arg> typing(const Pane& pane, std::string_view keys, bool enter);

// Whether the process of a pane a wait looks at may have ended, so that
// the wait looks at the pane itself. On this machine its pidfd tells; a
// process on a remote host cannot be watched from here, so there a look is
// due every half second.
class ProcessEnd {
public:
    ProcessEnd(const Pane& pane, pid_t pid);
    ProcessEnd(const ProcessEnd&) = delete;
    ProcessEnd& operator=(const ProcessEnd&) = delete;
    bool maybe_ended();
    pid_t watched() const { return remote_ ? 0 : pid_; }

private:
    pid_t pid_;
    bool remote_;
    ExitWatch watch_;
    WaitClock::time_point next_;
};

// Whether the pane's server is on a remote host (an error for an address
// that is none).
Result<bool> on_remote_host(const Pane& pane);

// The end of a timeout message: the last screen's non-blank lines, at most
// 20, after "; <label>:", or `empty` when there are none.
std::string last_screen_lines(std::string_view text, std::string_view label = "last screen",
                              std::string_view empty = "the screen is blank");

// wait_for after a Screen: the pattern matches what was written after its
// mark, as plain text; the screen after the match, with a mark of its own.
Result<Screen> wait_in_stream(const Pane& pane, const TextMatcher& pattern,
                              std::optional<Seconds> timeout, const StreamMark& mark);


}  // namespace termloom::pane_ops
