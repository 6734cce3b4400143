// The Python interface of Connection (handed out by Server.connect), as data.
#pragma once

#include "../ops/connection.hpp"
#include "interface.hpp"

namespace termloom::py {

inline constexpr std::array kConnectionInterface = {
    field<&Connection::socket>("socket"),
    computed<&connection_ops::is_open>(
        "is_open", "whether this connection is open (not closed yet)\n\nReturns:\n    bool"),
    computed<&connection_ops::client_pid>(
        "client_pid",
        "the process id of the tmux control client serving this server now\n\n"
        "Returns:\n    int, or None while there is none (the server has no session yet,\n"
        "    or the connection is closed)"),
    method<&connection_ops::close>(
        "close",
        "Close this connection. The control client ends (killed and reaped) when\n"
        "the last open connection of its server is closed; then every call runs\n"
        "tmux once again.\n\nReturns:\n    True, or False when it was closed already"),
    // `with server.connect():` closes it at the end of the block.
    entering<Connection>("Return this connection, to be closed at the end of the with block."),
    leaving<&connection_ops::end_of_block>(
        "Close the connection, whether the block ended by an exception or not.\n\n"
        "Returns:\n    None: an exception of the block propagates"),
    representation<&connection_ops::repr>(),
};

}  // namespace termloom::py
