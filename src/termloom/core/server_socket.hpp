// The file at a server's socket path, as the runs that start or stop a
// server need to see it.
#pragma once

#include <string>

namespace termloom {

// What the path holds, links followed. A link that leads nowhere is Other:
// a server started there would remove the link.
enum class SocketPathState { Absent, Socket, Other };
SocketPathState socket_path_state(const std::string& path);

// True while a server accepts connections on the socket at `path`.
bool accepts_connections(const std::string& path);

// Polls until nothing accepts connections at `path` or `limit_ms` passed;
// false when the host asked to stop meanwhile.
bool wait_until_refused(const std::string& path, int limit_ms);

}  // namespace termloom
