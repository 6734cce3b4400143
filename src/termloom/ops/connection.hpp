// What a Connection handle does: the opening and closing of a server's
// connection for this process (core/connections.hpp).
#pragma once

#include <string>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom::connection_ops {

// Server.connect: opens the connection of the server's address, or shares
// the one open.
Result<Connection> connect(const Server& server);

// Closes this opening (false when it was closed already); the control
// client ends with the last one.
Result<bool> close(const Connection& connection);

Result<bool> is_open(const Connection& connection);

// The process id of the control client serving the address now; None
// while there is none (no session yet, or the connection is closed).
Result<std::optional<std::uint32_t>> client_pid(const Connection& connection);

Result<void> end_of_block(const Connection& connection);

std::string repr(const Connection& connection);

}  // namespace termloom::connection_ops
