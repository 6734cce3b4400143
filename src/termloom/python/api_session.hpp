// The Python interface of Session and SessionMetadata, as data.
#pragma once

#include "../ops/session.hpp"
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
