// The Python interface of Session and SessionMetadata.
#include "../ops/session.hpp"
#include "class_builder.hpp"

namespace termloom::py {
namespace {

namespace ops = session_ops;

constexpr std::array kSessionInterface = {
    constructor<&ops::make>(arg("name"), arg("socket", "None")),
    settable<&Session::name, &ops::rename>("name", arg("new_name"),
                                           "renames a session with the newname provided"),
    field<&Session::socket>("socket"),
    computed<&ops::windows>("windows", "get a list of all windows in a session\n\nReturns:\n    Window"),
    method<&ops::metadata>(
        "metadata",
        "get session metadata\n\nReturns:\n    SessionMetadata\n\nRaises: RuntimeError on failure"),
    method<&ops::kill>("kill", "kill this session\n\nReturns:\n    True if the operation is successful"),
    representation<&ops::repr>(),
};

constexpr std::array kSessionMetadataInterface = {
    field<&SessionMetadata::id>("id"),
    field<&SessionMetadata::name>("name"),
    field<&SessionMetadata::created>("created"),
    field<&SessionMetadata::attached>("attached"),
    field<&SessionMetadata::width>("width"),
    field<&SessionMetadata::height>("height"),
    field<&SessionMetadata::windows>("windows"),
    representation<&session_metadata_ops::repr>(),
};

}  // namespace

template <>
PyTypeObject* python_type<Session>() {
    return class_object<Session, kSessionInterface>();
}

template <>
PyTypeObject* python_type<SessionMetadata>() {
    return class_object<SessionMetadata, kSessionMetadataInterface>();
}

}  // namespace termloom::py
