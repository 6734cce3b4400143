// The release of the tmux that a run starts, as `tmux -V` prints it, so that
// a command uses a flag or format only where that release has it.
//
// It is read once per program file: the first run of each tmux found on
// PATH (a path, and the file's identity there) asks it, later runs take the
// remembered answer. Any thread may ask; a forked child keeps the answers.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "process.hpp"
#include "host_command.hpp"

namespace termloom {

struct TmuxRelease {
    // "3.1c", "next-3.6", ...: what follows "tmux " in `tmux -V`. Empty when
    // tmux could not be started; the command itself then reports that.
    std::string name;
    // From the name; a name with no number in it ("master") is a build
    // from the development tree, newer than every release.
    unsigned major = ~0U;
    unsigned minor = ~0U;

    bool at_least(unsigned want_major, unsigned want_minor) const {
        return major != want_major ? major > want_major : minor >= want_minor;
    }
};

// The name and number in one line of `tmux -V` output.
TmuxRelease parse_tmux_release(std::string_view version_line);

// The absolute path of the tmux that a run starts, found along PATH as a
// run finds it; none when there is none.
std::optional<std::string> tmux_program();

// The release of the tmux on PATH. Only an interruption or a lost exit
// status of `tmux -V` is an error.
std::expected<TmuxRelease, RunError> tmux_release();

// The tmux that runs a server's commands: its absolute path (none when
// there is none), its release and the machine it runs on (`uname -m`).
// On this machine, the tmux on PATH (asked as above); on a remote host, the
// one its shell finds, asked once per host (core/host_command.hpp) and
// kept. A host without tmux has an empty release, not kept.
struct HostTmux {
    std::optional<std::string> path;
    TmuxRelease release;
    std::string machine;
};
std::expected<HostTmux, RunError> host_tmux(const std::optional<std::string>& address);

// What differs between the releases users run (3.1c on), each with the
// first release that behaves as later ones do; 3.2 and 3.2a are untested.
//
// -f on list-sessions, list-windows and list-panes: tmux 3.2.
bool lists_take_filter(const TmuxRelease& release);
// capture-pane -J pads every line with spaces before 3.2: such a capture
// cannot tell typed trailing spaces from the padding.
bool joined_capture_pads(const TmuxRelease& release);
// The output of a command before kill-server in the same run is lost
// before 3.2: the server exits before the client has it.
bool kill_server_loses_output(const TmuxRelease& release);
// #{pane_dead_signal}: tmux 3.3. Before, a dead pane whose program a signal
// ended shows no status at all, as one whose status tmux has not learnt yet.
bool dead_pane_tells_signal(const TmuxRelease& release);
// new-session -e (the environment of the session and its first pane):
// tmux 3.2. new-window -e and split-window -e are older than 3.1c.
bool new_session_takes_environment(const TmuxRelease& release);
// A run of "#" just before "[" (a style's start) in a format expands to
// itself: tmux 3.2. Before, it halves as any other run ("##" to "#").
bool keeps_hashes_before_style(const TmuxRelease& release);

}  // namespace termloom
