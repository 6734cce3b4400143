// The Python interface of Window and WindowMetadata.
#include "../ops/window.hpp"
#include "class_builder.hpp"

namespace termloom::py {
namespace {

namespace ops = window_ops;

constexpr std::array kWindowInterface = {
    constructor<&ops::make>(arg("session_name"), arg("index"), arg("socket"), arg("name")),
    field<&Window::session_name>("session_name"),
    field<&Window::index>("index"),
    field<&Window::socket>("socket"),
    settable<&Window::name, &ops::rename>("name", arg("new_name")),
    computed<&ops::select>(
        "select", "select a window if not selected\n\nReturns:\n    True if selected, False if the operation failed"),
    computed<&ops::panes>(
        "panes", "list panes in a window\n\nReturns:\n    a list of panes available in this window"),
    computed<&ops::metadata>("metadata", "get window metadata\n\nReturns:\n    WindowMetadata"),
    computed<&ops::next>(
        "next",
        "Move to the next tmux window in this session and return it.\n\nReturns:\n    The newly selected Window, or None if the operation fails."),
    computed<&ops::previous>(
        "previous",
        "Move to the previous tmux window in this session and return it.\n\nReturns:\n    The newly selected Window, or None if the operation fails."),
    method<&ops::kill>(
        "kill", "kill this window\n\nReturns:\n    True if killed successfully, False if the operation failed"),
    representation<&ops::repr>(),
};

constexpr std::array kWindowMetadataInterface = {
    field<&WindowMetadata::index>("index"),
    field<&WindowMetadata::name>("name"),
    field<&WindowMetadata::active>("active"),
    field<&WindowMetadata::layout>("layout"),
    field<&WindowMetadata::width>("width"),
    field<&WindowMetadata::height>("height"),
    field<&WindowMetadata::flags>("flags"),
    representation<&window_metadata_ops::repr>(),
};

}  // namespace

template <>
PyTypeObject* python_type<Window>() {
    return class_object<Window, kWindowInterface>();
}

template <>
PyTypeObject* python_type<WindowMetadata>() {
    return class_object<WindowMetadata, kWindowMetadataInterface>();
}

}  // namespace termloom::py
