// The Python interface of Window and WindowMetadata, as data.
#pragma once

#include "../ops/window.hpp"
#include "../ops/options.hpp"
#include "../ops/pane_metadata.hpp"
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
    // Building and inspecting.
    method<&window_ops::resize>(
        "resize", "set the window's size in cells; it stays so\n\nReturns:\n    True",
        arg("width"), arg("height")),
    method<&window_ops::select_layout>(
        "select_layout",
        "arrange the panes: even-horizontal, even-vertical, main-horizontal, main-vertical, "
        "tiled, or a layout string as WindowMetadata.layout gives it\n\nReturns:\n    True\n\n"
        "Raises:\n    ValueError for any other text, before tmux runs",
        arg("layout"))
        .raising(Exception::ValueError),
    method<&window_ops::set_option>(
        "set_option", "set an option on this window\n\nReturns:\n    True\n\nRaises:\n"
        "    ValueError for an option that tmux keeps at another level (any\n"
        "    \"@name\" is an option of every level); RuntimeError for an unknown one",
        arg("name"), arg("value"))
        .raising(Exception::ValueError),
    method<&window_ops::show_option>(
        "show_option",
        "the value of an option set on this window, as tmux prints it\n\nReturns:\n"
        "    str, or None where none is set\n\nRaises:\n"
        "    ValueError for an option that tmux keeps at another level (any\n"
        "    \"@name\" is an option of every level); RuntimeError for an unknown one",
        arg("name"))
        .raising(Exception::ValueError),
    method<&window_ops::pane_metadata>(
        "pane_metadata",
        "every pane of the window with its state, from one tmux run\n\nReturns:\n    list[PaneMetadata]"),
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
