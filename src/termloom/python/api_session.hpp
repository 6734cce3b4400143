// The Python interface of Session and SessionMetadata, as data.
#pragma once

#include "../ops/session.hpp"
#include "../ops/options.hpp"
#include "../ops/pane_metadata.hpp"
#include "interface.hpp"

namespace termloom::py {

inline constexpr std::array kSessionInterface = {
    constructor<&session_ops::make>(arg("name"), arg("socket", "None")),
    settable<&Session::name, &session_ops::rename>("name", arg("new_name"),
                                           "renames a session with the newname provided"),
    field<&Session::socket>("socket"),
    computed<&session_ops::windows>("windows", "get a list of all windows in a session\n\nReturns:\n    Window"),
    method<&session_ops::metadata>(
        "metadata",
        "get session metadata\n\nReturns:\n    SessionMetadata\n\nRaises: RuntimeError on failure"),
    method<&session_ops::kill>("kill", "kill this session\n\nReturns:\n    True if the operation is successful"),
    // Building and inspecting.
    method<&session_ops::new_window>(
        "new_window",
        "create a window at the next free index, not made current\n\nArgs:\n"
        "    name: its name; tmux names it after its program when None\n"
        "    command: run instead of the default shell\n"
        "    directory: its start directory; ValueError when it is missing\n\nReturns:\n    Window",
        arg("name", "None"), arg("command", "None"), arg("directory", "None"), keyword_only,
        arg("environment", "None"), arg("history_limit", "None"))
        .raising(Exception::ValueError)
        .noting("Keyword-only: `environment`, variables for the window's pane only, passed "
                "exactly; `history_limit`, the lines of history its pane keeps: the session's "
                "`history-limit` is set, the window made and the value before put back in one "
                "tmux run."),
    method<&session_ops::set_option>(
        "set_option", "set an option on this session\n\nReturns:\n    True\n\nRaises:\n"
        "    ValueError for an option that tmux keeps at another level (any\n"
        "    \"@name\" is an option of every level); RuntimeError for an unknown one",
        arg("name"), arg("value"))
        .raising(Exception::ValueError),
    method<&session_ops::show_option>(
        "show_option",
        "the value of an option set on this session, as tmux prints it\n\nReturns:\n"
        "    str, or None where none is set\n\nRaises:\n"
        "    ValueError for an option that tmux keeps at another level (any\n"
        "    \"@name\" is an option of every level); RuntimeError for an unknown one",
        arg("name"))
        .raising(Exception::ValueError),
    method<&session_ops::set_environment>(
        "set_environment",
        "set a variable in the session's environment, for programs started afterwards\n\nReturns:\n    True",
        arg("name"), arg("value"))
        .raising(Exception::ValueError),
    method<&session_ops::show_environment>(
        "show_environment",
        "a variable of the session's environment\n\nReturns:\n    str, or None when it is not set",
        arg("name"))
        .raising(Exception::ValueError),
    method<&session_ops::pane_metadata>(
        "pane_metadata",
        "every pane of the session with its state, from one tmux run\n\nReturns:\n    list[PaneMetadata]"),
    // `with server.new_session(name) as session:` kills the session at the end.
    entering<Session>("Return this session, to be killed at the end of the with block."),
    leaving<&session_ops::end_of_block>(
        "Kill the session, whether the block ended by an exception or not.\n\n"
        "Returns:\n    None: an exception of the block propagates"),
    representation<&session_ops::repr>(),
};

inline constexpr std::array kSessionMetadataInterface = {
    field<&SessionMetadata::id>("id"),
    field<&SessionMetadata::name>("name"),
    field<&SessionMetadata::created>("created"),
    field<&SessionMetadata::attached>("attached"),
    field<&SessionMetadata::width>("width"),
    field<&SessionMetadata::height>("height"),
    field<&SessionMetadata::windows>("windows"),
    representation<&session_metadata_ops::repr>(),
};

}  // namespace termloom::py
