// The Python interface of PaneMetadata, as data.
#pragma once

#include "../ops/pane_metadata.hpp"
#include "interface.hpp"

namespace termloom::py {

inline constexpr std::array kPaneMetadataInterface = {
    field<&PaneMetadata::session_name>("session_name"),
    field<&PaneMetadata::window_index>("window_index"),
    field<&PaneMetadata::window_name>("window_name"),
    field<&PaneMetadata::pane_index>("pane_index"),
    field<&PaneMetadata::pane_id>("pane_id"),
    field<&PaneMetadata::title>("title"),
    field<&PaneMetadata::active>("active"),
    field<&PaneMetadata::width>("width"),
    field<&PaneMetadata::height>("height"),
    field<&PaneMetadata::cursor_x>("cursor_x"),
    field<&PaneMetadata::cursor_y>("cursor_y"),
    field<&PaneMetadata::pid>("pid"),
    field<&PaneMetadata::current_command>("current_command"),
    field<&PaneMetadata::current_path>("current_path"),
    field<&PaneMetadata::dead>("dead"),
    field<&PaneMetadata::dead_status>("dead_status"),
    field<&PaneMetadata::in_mode>("in_mode"),
    field<&PaneMetadata::history_size>("history_size"),
    field<&PaneMetadata::tty>("tty"),
    field<&PaneMetadata::session_id>("session_id"),
    field<&PaneMetadata::window_id>("window_id"),
    computed<&pane_metadata_ops::pane>("pane",
                                       "the Pane this record describes (runs no tmux)"),
    representation<&pane_metadata_ops::repr>(),
};

}  // namespace termloom::py
