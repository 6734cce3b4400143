// Which of tmux's option tables an option belongs to. tmux sets and shows a
// known option in its own table whatever the -g, -s, -w or -p flags say
// ("set-option -t $1: escape-time 0" changes the server's), and takes a
// unique prefix for the whole name; so each level checks the name first.
#pragma once

#include <string>
#include <string_view>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom {

enum class OptionTable {
    Unknown,
    Server,
    Session,
    Window,        // a window's only
    WindowOrPane,  // a window's, which each of its panes may override
};

// The table of option `name` (an array's element "name[N]" is the array's),
// from tmux's listings of the tables; `pane_target` names a pane (or a
// window or session, for its active pane) whose listing tells pane options
// from window ones. `failed` begins the message when tmux fails.
Result<OptionTable> option_table(const SocketPath& socket, std::string_view name,
                                 std::string_view pane_target, std::string_view failed);

// "a server option", "a window or pane option", ...
std::string_view table_description(OptionTable table);

}  // namespace termloom
