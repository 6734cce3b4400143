// Connections: one control-mode client per server address in this process,
// opened by Server.connect() and used by every handle of that address while
// it is open (core/control_client.hpp).
//
// A connection changes how commands reach tmux, never what they answer:
//  - a command runs through the connection only where a control client
//    gives exactly what one tmux run would: one with standard input, a
//    kill-* (its session or server may end with the client's), wait-for
//    (it would hold every other command back) and the commands that move
//    clients (attach, detach, switch, suspend) still run once per call, as
//    do the commands run inside a OncePerCall scope (Server.command, whose
//    untargeted words would resolve against the client's own session);
//  - new-session, new-window and split-window get "-c" with this process's
//    working directory first, which is where one tmux run would start them
//    (a later -c of the command's own wins);
//  - while no control client can be had (no server, no session yet), each
//    call runs tmux once, and a new client is tried again at the next call
//    after a short pause; a client that ended (its session closed, the
//    server gone) is replaced the same way. A command the ended client
//    never began runs once instead; one it had begun fails with an error
//    that says so, as its outcome is unknown.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "host_command.hpp"

namespace termloom::connections {

// Opens a connection to the server at `address` (absent: tmux's default
// server), or shares the one already open: its number, for close. The
// control client starts now if it can, else at a later call.
std::uint64_t open(const std::optional<std::string>& address);

// Closes what open gave; the client ends (killed and reaped) when the last
// open connection of its address is closed. False when it was closed already.
bool close(std::uint64_t number);

bool is_open(std::uint64_t number);

// Whether a control client serves `address` now, and its process id (0 for none).
pid_t client_pid(const std::optional<std::string>& address);

// The routing of host_command.cpp: the command's outcome when it went
// through a connection, none when it is to run once as usual.
std::optional<std::expected<CommandOutput, RunError>> try_run(const HostCommand& command,
                                                              Capture capture,
                                                              std::string_view input);

// The session that the control client of the last run on this thread was
// attached to when tmux began it ("$N"); "" when that run did not go
// through a connection. A count of attached clients in its answer includes
// that client.
const std::string& attachment_of_last_run();

// Ends every connection of this process (at exit).
void close_all();

// While one lives on a thread, that thread's commands run once per call.
class OncePerCall {
public:
    OncePerCall();
    ~OncePerCall();
    OncePerCall(const OncePerCall&) = delete;
    OncePerCall& operator=(const OncePerCall&) = delete;
};

}  // namespace termloom::connections
