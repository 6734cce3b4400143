// The Python interface of Pane, as data.
#pragma once

#include "../ops/pane.hpp"
#include "../ops/options.hpp"
#include "../ops/pane_metadata.hpp"
#include "../ops/styled_screen.hpp"
#include "interface.hpp"

namespace termloom::py {

inline constexpr std::array kPaneInterface = {
    constructor<&pane_ops::make>(arg("session_name"), arg("window_index"), arg("pane_index"),
                            arg("pane_id"), arg("title"), arg("socket")),
    field<&Pane::session_name>("session_name"),
    field<&Pane::window_index>("window_index"),
    field<&Pane::pane_index>("pane_index"),
    field<&Pane::pane_id>("pane_id"),
    settable<&Pane::title, &pane_ops::rename>("title", arg("title"), "Rename the pane title.")
        .raising(Exception::ValueError),
    field<&Pane::socket>("socket"),
    computed<&pane_ops::select>("select", "select this pane"),
    computed<&pane_ops::clear>("clear", "clear a panes history"),
    computed<&pane_ops::is_alive>("is_alive", "Whether the pane is alive."),
    computed<&pane_ops::current_command>(
        "current_command",
        "get this shells current command/program\nwill be the shell name if no program is active\n\n"
        "Returns:\n    a string of the current program running on the pane. "
        "e.g. `ping -q example.com` will only return `ping`"),
    computed<&pane_ops::current_commandline>(
        "current_commandline",
        "get this panes current running command with its arguments\n\n"
        "Returns:\n    the program ran in the pane with the arguments used. "
        "e.g. `ping -q example.com`"),
    computed<&pane_ops::last_command>("last_command",
                                 "get the last command used in this pane\n\nReturns:\n    LastCommand"),
    method<&pane_ops::send_keys>(
        "send_keys",
        "send keys to a pane\n\nArgs:\n"
        "    keys: the keys/commands to send to the pane\n"
        "    enter: whether to send enter command and run the command sent\n"
        "    clear_first: first clear the screen before running the command\n\n"
        "Returns:\n    True if successfully sent keys\n",
        arg("keys"), arg("enter", "False"), arg("clear_first", "False")),
    method<&pane_ops::capture>(
        "capture",
        "capture a panes content\n\nArgs:\n"
        "    trim: remove trailing whitespaces from the capture output\n"
        "    scroll_back: scroll back this number of lines\n"
        "    full: capture full pane output\n\n"
        "Returns:\n    a string of the pane content. any character visible in the pane will ne returned",
        arg("trim", "False"), arg("scroll_back", "None"), arg("full", "False")),
    method<&pane_ops::kill>("kill", "Kill this pane."),
    method<&pane_ops::resize>(
        "resize",
        "Resize the pane.\n\nArgs:\n"
        "    direction: One of \"left\", \"right\", \"up\", or \"down\".\n"
        "    amount: Number of cells to resize by.\n",
        arg("direction"), arg("amount")),
    method<&pane_ops::split>(
        "split",
        "Split this pane and return the new pane.\n\nArgs:\n"
        "    horizontal: Split horizontally if True, vertically otherwise.\n"
        "    command: Optional command to run in the new pane.\n"
        "    keep: keep the split running after execution is complete, defaults to true\n",
        arg("horizontal", "False"), arg("command", "None"), arg("keep", "True"), keyword_only,
        arg("size", "None"), arg("percent", "None"), arg("directory", "None"),
        arg("environment", "None"), arg("history_limit", "None"))
        .raising(Exception::ValueError)
        .noting(
            "With `keep=True` the command runs under a shell that stays: `sh -lc '<command>` "
            "and a line `exec \"$SHELL\"'`. While the command runs the pane's program is that "
            "`sh` (`current_command` is `sh`); when it ends, the shell named by `$SHELL` takes "
            "its place, so the pane stays and `wait_exit` never ends. With `keep=False` the "
            "command is the pane's own program. Keyword-only: `size`, the new pane's width (a "
            "horizontal split) or height in cells, or `percent`, the same as a share of this "
            "pane from 1 to 100 (not both; tmux makes a larger one as large as fits); "
            "`directory`, its start directory (a `ValueError` when it does not exist); "
            "`environment`, variables for the new pane, passed exactly; `history_limit`, the "
            "lines of history the new pane keeps: the session's `history-limit` is set, the "
            "pane made and the value before put back in one tmux run."),
    method<&pane_ops::respawn>(
        "respawn",
        "Respawn the pane.\n\nArgs:\n"
        "    command: Optional command to run after respawning.\n"
        "    kill: Kill the existing pane process first.",
        arg("command", "None"), arg("kill", "False")),
    method<&pane_ops::bash_shell>(
        "bash_shell",
        "Change this pane to bash.\n\nArgs:\n"
        "    respawn: If True, kill the current pane process and respawn it as bash.\n"
        "             If False, run `exec bash` inside the pane.\n",
        arg("respawn", "False")),
    // Driving the program in the pane.
    method<&pane_ops::send_text>(
        "send_text",
        "Type text literally: no word in it is read as a key name.\n\nArgs:\n"
        "    text: the text; a line feed arrives as the Enter key does\n"
        "    enter: press Enter after it\n\nReturns:\n    True",
        arg("text"), arg("enter", "False"))
        .raising(Exception::ValueError),
    method<&pane_ops::screen>(
        "screen",
        "One snapshot of the visible screen.\n\nArgs:\n"
        "    escapes: keep the colour and attribute escape sequences\n"
        "    styles: also read every cell's character, width, colours and\n"
        "        attributes (Screen.cells, Screen.svg), in the same tmux run\n\n"
        "Returns:\n    Screen",
        arg("escapes", "False"), arg("styles", "False"))
        .noting(
            "The Screen holds its moment in the pane's output stream, for `wait_for` and "
            "`expect` with `after=`, when the pane was quiet as it was taken (no byte for 3 ms, "
            "none during the look; a printing pane is waited for up to 0.1 s): the mark reopens "
            "the pane's pipe, and tmux drops what it still holds for a pipe it closes. A Screen "
            "taken while the pane prints holds none, nor one taken while a run, a recording or a "
            "wait of this process reads that stream (it could cost them output); a wait after "
            "such a Screen raises `RuntimeError`. A pipe reopened as output came may have lost "
            "some: a wait after an older Screen, or an `expect`, that reads across that moment "
            "raises `RuntimeError` rather than answer without it."),
    method<&pane_ops::screenshot>(
        "screenshot",
        "Write a picture of the visible screen as an SVG document.\n\nArgs:\n"
        "    path: the file, created or replaced\n"
        "    title: a title drawn above the screen, or None\n\n"
        "Returns:\n    Screen: the styled screen pictured\n\n"
        "Raises:\n    RuntimeError when the file cannot be written (naming it and why)\n"
        "    or the screen's cells cannot be known for sure; ValueError for a\n"
        "    title with control characters",
        arg("path"), arg("title", "None"))
        .raising(Exception::ValueError),
    method<&pane_ops::wait_for>(
        "wait_for",
        "Wait until the visible screen matches and return that snapshot.\n\n"
        "The pattern sees the screen as written, trailing blanks included, so\n"
        "\">>> \" finds a prompt; the Screen returned has them cut as usual.\n\nArgs:\n"
        "    pattern: a str the screen must contain, or a compiled pattern that\n"
        "        must find something in it (pattern.search)\n"
        "    timeout: seconds, or None for no limit\n"
        "    after: a Screen taken before the action: the pattern then sees\n"
        "        only what the pane's programs wrote after it, as text (see\n"
        "        expect); or a line counted from the top of the history\n"
        "        (screen.history_size + screen.cursor_y); None: all of it\n\n"
        "Returns:\n    Screen\n\nRaises:\n    TimeoutError at the timeout; RuntimeError at once "
        "when the pane\n    is gone or its process has ended, or when after is a line and the\n"
        "    history is full, or a Screen that holds no moment (see screen),\n"
        "    so new output cannot be told from old",
        arg("pattern"), arg("timeout", "10.0"), arg("after", "None"))
        .raising(Exception::TimeoutError),
    method<&pane_ops::wait_exit>(
        "wait_exit",
        "Wait until the pane's program has ended.\n\n"
        "Its status is known while the pane stays (remain-on-exit on).\n\nArgs:\n"
        "    timeout: seconds, or None for no limit\n\n"
        "Returns:\n    int: its exit status, 128+N after signal N; None when tmux does\n"
        "    not know it (the pane is gone)\n\nRaises:\n    TimeoutError at the timeout",
        arg("timeout", "None"))
        .raising(Exception::TimeoutError),
    method<&pane_ops::paste>(
        "paste",
        "Paste text into the pane through a private tmux buffer, deleted\n"
        "afterwards even when pasting fails. Any size, any characters; line\n"
        "feeds arrive as Enter.\n\nArgs:\n"
        "    text: the text\n"
        "    bracketed: mark it as pasted for programs that ask for it, so a\n"
        "        REPL does not indent pasted code again\n\nReturns:\n    True",
        arg("text"), arg("bracketed", "True"))
        .raising(Exception::ValueError),
    method<&pane_ops::record>(
        "record",
        "Record everything the pane's program writes from now on, with\n"
        "timestamps, as an asciicast v2 file (asciinema plays it).\n\nArgs:\n"
        "    path: the file, created or replaced\n\nReturns:\n    True\n\n"
        "Raises:\n    RuntimeError when the pane records already, its output is piped\n"
        "    elsewhere (pipe-pane), or the file cannot be written",
        arg("path"))
        .raising(Exception::ValueError),
    method<&pane_ops::stop_recording>(
        "stop_recording",
        "Stop recording; the file is complete when this returns.\n\nReturns:\n"
        "    True; False when the pane was not recording\n\nRaises:\n"
        "    RuntimeError when the recording lost output (a write failed, or the\n"
        "    pane's pipe was closed while it recorded)"),
    method<&pane_ops::wait_quiet>(
        "wait_quiet",
        "Wait until the screen (text and cursor) has not changed for `quiet`\n"
        "seconds and return it.\n\nArgs:\n"
        "    quiet: seconds without a change\n"
        "    timeout: seconds, or None for no limit\n\n"
        "Returns:\n    Screen\n\nRaises:\n    TimeoutError at the timeout; RuntimeError at once "
        "when the pane\n    is gone or its process has ended",
        arg("quiet", "0.5"), arg("timeout", "10.0"))
        .raising(Exception::TimeoutError),
    method<&pane_ops::expect>(
        "expect",
        "Wait for the next match in what the pane's programs write, as text.\n\n"
        "The text is everything written since the previous expect on this pane\n"
        "(or since `after`), with the terminal's escape sequences left out and\n"
        "line ends as \"\\n\"; the next expect starts after this match.\n\nArgs:\n"
        "    pattern: a str to find, or a compiled pattern that must find\n"
        "        something in it (pattern.search)\n"
        "    timeout: seconds, or None for no limit\n"
        "    after: a Screen: start from the moment it was taken instead\n\n"
        "Returns:\n    Expectation: the text before the match, the match, its groups\n\n"
        "Raises:\n    TimeoutError at the timeout; RuntimeError at once when the pane\n"
        "    is gone, or when its output is piped elsewhere (pipe-pane)",
        arg("pattern"), arg("timeout", "10.0"), arg("after", "None"))
        .raising(Exception::TimeoutError)
        .raising(Exception::ValueError),
    method<&pane_ops::run>(
        "run",
        "Run a command in the shell at the pane's prompt and wait for its end.\n\n"
        "The shell is the pane's own (POSIX: bash, dash, zsh, ksh), so cd and\n"
        "variables persist. The command may be anything typed at a prompt.\n\nArgs:\n"
        "    command: the command line, or several lines\n"
        "    timeout: seconds, or None for no limit; at the timeout the command\n"
        "        is left running\n\n"
        "Returns:\n    CommandResult: the command, its exit status and its output as\n"
        "    the pane shows it\n\nRaises:\n    TimeoutError at the timeout; RuntimeError at once "
        "when the shell\n    exits, when an earlier run's command still goes on, or when the\n"
        "    pane's output is piped elsewhere (pipe-pane)",
        arg("command"), arg("timeout", "None"))
        .raising(Exception::TimeoutError)
        .raising(Exception::ValueError),
    // Building and inspecting.
    method<&pane_ops::metadata>(
        "metadata", "this pane's state, from one tmux run\n\nReturns:\n    PaneMetadata"),
    method<&pane_ops::set_option>(
        "set_option", "set an option on this pane\n\nReturns:\n    True\n\nRaises:\n"
        "    ValueError for an option that tmux keeps at another level (any\n"
        "    \"@name\" is an option of every level); RuntimeError for an unknown one",
        arg("name"), arg("value"))
        .raising(Exception::ValueError),
    method<&pane_ops::show_option>(
        "show_option",
        "the value of an option set on this pane, as tmux prints it\n\nReturns:\n"
        "    str, or None where none is set\n\nRaises:\n"
        "    ValueError for an option that tmux keeps at another level (any\n"
        "    \"@name\" is an option of every level); RuntimeError for an unknown one",
        arg("name"))
        .raising(Exception::ValueError),
    representation<&pane_ops::repr>(),
};

}  // namespace termloom::py
