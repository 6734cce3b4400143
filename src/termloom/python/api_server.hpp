// The Python interface of Server, as data.
#pragma once

#include "../ops/connection.hpp"
#include "../ops/server.hpp"
#include "../ops/options.hpp"
#include "../ops/pane_metadata.hpp"
#include "interface.hpp"

namespace termloom::py {

inline constexpr std::string_view kNewSessionNotes =
    "The session is detached. Its keywords: `width` and `height`, its size in cells (tmux keeps "
    "them as the session's `default-size`); `directory`, its start directory (a `ValueError` when "
    "it does not exist); `command`, run instead of the default shell; `environment`, variables "
    "for the session and its first pane, passed exactly (tmux 3.2 and later: tmux 3.1c has no "
    "`new-session -e`, and the call raises `RuntimeError` before anything runs); "
    "`history_limit`, the lines of history its first pane keeps: the global `history-limit` is "
    "set, the session made and the value before put back in one tmux run, so the option reads "
    "as before afterwards, also when the creation fails. Without keywords it runs `new-session "
    "-d -s NAME -P -F #{session_name}`.";

inline constexpr std::array kServerInterface = {
    constructor<&server_ops::make>(arg("socket", "None")),
    computed<&server_ops::sessions>(
        "sessions", "list sessions in this server\n\nReturns:\n    A list of Session in this server"),
    computed<&server_ops::is_running>(
        "is_running", "check if a tmux server is running\n\nReturns:\n    True if running, False if not"),
    computed<&server_ops::current_socket>(
        "current_socket",
        "get the tmux socket path for this server\n"
        "if a socket was explicitly provided, that is returned.\n"
        "otherwise, the default tmux socket path is returned.\n\nReturns:\n    str"),
    method<&server_ops::new_session>("new_session", "create a new session\n\nReturns:\n    Session",
                              arg("name"), keyword_only, arg("width", "None"), arg("height", "None"),
                              arg("directory", "None"), arg("command", "None"),
                              arg("environment", "None"), arg("history_limit", "None"))
        .raising(Exception::ValueError)
        .noting(kNewSessionNotes),
    method<&server_ops::has_session>(
        "has_session",
        "check if the server contains a session using a session name\n\n"
        "Returns:\n    True if the session name provided exists, False if not",
        arg("name")),
    method<&server_ops::kill>("kill", "kill a tmux server"),
    method<&server_ops::start>("start", "start a tmux server if none is running\n"),
    method<&server_ops::target_pane>(
        "target_pane",
        "get a Pane object directly from a pane target like \"mysess:0.1\"\n\nReturns:\n    Pane",
        arg("target")),
    method<&server_ops::target_window>(
        "target_window",
        "get a Window object directly from a window target like \"mysess:0\"\n\nReturns:\n    Window",
        arg("target")),
    // Building and inspecting.
    method<&server_ops::set_option>(
        "set_option", "set a global or server option\n\nReturns:\n    True", arg("name"),
        arg("value")),
    method<&server_ops::show_option>(
        "show_option",
        "the value of a global or server option, as tmux prints it\n\nReturns:\n"
        "    str, or None where none is set",
        arg("name")),
    method<&server_ops::set_environment>(
        "set_environment",
        "set a variable in the global environment, for programs started afterwards\n\nReturns:\n    True",
        arg("name"), arg("value"))
        .raising(Exception::ValueError),
    method<&server_ops::show_environment>(
        "show_environment",
        "a variable of the global environment\n\nReturns:\n    str, or None when it is not set",
        arg("name"))
        .raising(Exception::ValueError),
    method<&server_ops::pane_metadata>(
        "pane_metadata",
        "every pane of the server with its state, from one tmux run\n\nReturns:\n    list[PaneMetadata]"),
    method<&server_ops::command>(
        "command",
        "Run a tmux command on this server's socket, with the arguments exactly\n"
        "as given: they are tmux syntax, not text to escape.\n\n"
        "Example: server.command(\"list-buffers\", \"-F\", \"#{buffer_name}\")\n\n"
        "Returns:\n    str: its standard output\n\n"
        "Raises:\n    RuntimeError with tmux's message when it fails",
        arg("args")),
    method<&connection_ops::connect>(
        "connect",
        "Open this process's connection to the server: one tmux control-mode\n"
        "client (tmux -C) that every handle of this server's socket sends its\n"
        "commands through while it is open, instead of running tmux once per call.\n"
        "The answers stay the same; see the README's \"Connections\" for what the\n"
        "client shows to the server's sessions. Use it as `with server.connect():`\n"
        "or close() it; a second connect() shares the one open.\n\n"
        "Returns:\n    Connection"),
    // `with Server(path) as server:` kills the server at the end of the block.
    entering<Server>("Return this server, to be killed at the end of the with block."),
    leaving<&server_ops::end_of_block>(
        "Kill the server, whether the block ended by an exception or not.\n\n"
        "Returns:\n    None: an exception of the block propagates"),
};

}  // namespace termloom::py
