// The Python interface of Window and WindowMetadata, as data.
#pragma once

#include "../ops/window.hpp"
#include "interface.hpp"

namespace termloom::py {

inline constexpr std::array kWindowInterface = {
    constructor<&window_ops::make>(arg("session_name"), arg("index"), arg("socket"), arg("name")),
    field<&Window::session_name>("session_name"),
    field<&Window::index>("index"),
    field<&Window::socket>("socket"),
    // tmux refusing the new name is reported as ValueError.
    settable<&Window::name, &window_ops::rename>("name", arg("new_name"))
        .raising(Exception::ValueError),
    computed<&window_ops::select>(
        "select", "select a window if not selected\n\nReturns:\n    True if selected, False if the operation failed"),
    computed<&window_ops::panes>(
        "panes", "list panes in a window\n\nReturns:\n    a list of panes available in this window"),
    computed<&window_ops::metadata>("metadata", "get window metadata\n\nReturns:\n    WindowMetadata"),
    computed<&window_ops::next>(
        "next",
        "Move to the next tmux window in this session and return it.\n\nReturns:\n    The newly selected Window, or None if the operation fails."),
    computed<&window_ops::previous>(
        "previous",
        "Move to the previous tmux window in this session and return it.\n\nReturns:\n    The newly selected Window, or None if the operation fails."),
    method<&window_ops::kill>(
        "kill", "kill this window\n\nReturns:\n    True if killed successfully, False if the operation failed"),
    representation<&window_ops::repr>(),
};

inline constexpr std::array kWindowMetadataInterface = {
    field<&WindowMetadata::index>("index"),
    field<&WindowMetadata::name>("name"),
    field<&WindowMetadata::active>("active"),
    field<&WindowMetadata::layout>("layout"),
    field<&WindowMetadata::width>("width"),
    field<&WindowMetadata::height>("height"),
    field<&WindowMetadata::flags>("flags"),
    representation<&window_metadata_ops::repr>(),
};

}  // namespace termloom::py
