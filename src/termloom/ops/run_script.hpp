// The shell text of Pane.run: the line typed at the prompt and the two
// files it sources, for each POSIX shell's own ways.
//
// The typed line saves the status before it, sources the wrapper file, and
// after it leaves the command's status as $? (a subshell only when it is
// not 0). When the wrapper cannot be read (gone, or the shell sees another
// file system), the typed line itself prints the "cannot read" marker.
//
// The wrapper: our own lines run with -x, -v and job control off and their
// errors thrown away, through `command` (zsh: `builtin`), so that neither a
// trace nor an alias or function of the same name gets in the way. It
// erases the typed line from the screen and writes there a short line
// naming the caller's command, prints the start marker, and sources the
// command file with an INT trap that returns from it: Ctrl-C (or a child
// killed by SIGINT) ends the command, not the wrapper. Then it prints the
// end marker with the status and tells tmux (a pane option and a wait-for
// channel, through the tmux program and socket given), and puts the
// caller's flags back. In bash, `history -s` puts the caller's command in
// the place of the typed line in the history.
//
// The command file turns the caller's -v (and -x, where its trace can be
// kept to the command) back on, sets $? to the status before the run, and
// then holds the caller's command as given. A syntax error in a sourced
// file ends that file alone, in every shell, so the end still comes.
//
// Markers are ESC ] 6973 ; tl<digits><kind> BEL, which the terminal does
// not show: kind "+" start, "=<status>" end, "f" the wrapper could not be
// read, "n" tmux could not be told.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace termloom::pane_ops {

struct RunScript {
    std::string shell;       // the shell's name: bash, dash, zsh, ksh, mksh, ...
    std::string digits;      // new for every run
    std::string command;     // the caller's
    std::string tmux;        // the tmux program, on the pane's host
    std::string socket;      // the server's socket path, as tmux reports it
    std::string pane_id;
    // Where the typed line will start: the cursor's column, the pane's width.
    std::uint32_t cursor_x = 0;
    std::uint32_t width = 80;
};

std::string run_channel(std::string_view digits);  // the wait-for channel
std::string run_option(std::string_view digits);   // the pane option with the status

// The line typed at the prompt, sourcing `wrapper_path`.
std::string typed_line(const RunScript& script, std::string_view wrapper_path);
std::string wrapper_text(const RunScript& script, std::string_view command_path,
                         std::string_view typed);
std::string command_text(const RunScript& script);

// The line the wrapper writes in the place of the typed line: the caller's
// command, cut to fit the rest of the row.
std::string summary_line(const RunScript& script);

// The start of the typed line, to find its echo in the stream.
inline constexpr std::string_view kTypedStart = "__tl_q=$?";

// The markers as the stream holds them.
std::string start_marker(std::string_view digits);
std::string end_marker_prefix(std::string_view digits);  // the status follows, then BEL
std::string unread_marker(std::string_view digits);
std::string untold_marker(std::string_view digits);

}  // namespace termloom::pane_ops
