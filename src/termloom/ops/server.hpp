// What a Server handle does: start, probe and stop a tmux server, list and
// create its sessions, and report its socket path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom::server_ops {

Result<Server> make(SocketPath socket);

Result<bool> is_running(const Server& server);
Result<bool> start(const Server& server);
Result<bool> kill(const Server& server);
Result<bool> has_session(const Server& server, std::string name);
Result<std::vector<Session>> sessions(const Server& server);
// A detached session; the optional parts as new-session takes them (-x, -y,
// -c, a command, -e on tmux 3.2 and later), history_limit for its first pane.
Result<Session> new_session(const Server& server, std::string name,
                            std::optional<std::uint32_t> width, std::optional<std::uint32_t> height,
                            std::optional<std::string> directory, std::optional<std::string> command,
                            std::optional<Environment> environment,
                            std::optional<std::uint32_t> history_limit);
Result<std::optional<std::string>> current_socket(const Server& server);
Result<Pane> target_pane(const Server& server, std::string target);
Result<Window> target_window(const Server& server, std::string target);

// The words run as "tmux [-S socket] WORDS...", exactly as given; its
// standard output, or tmux's message as the error.
Result<std::string> command(const Server& server, TextArgs args);

// The end of a `with` block: the server is killed; an error only when it
// still runs afterwards.
Result<void> end_of_block(const Server& server);

}  // namespace termloom::server_ops
