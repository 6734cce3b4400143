// What a Server handle does: start, probe and stop a tmux server, list and
// create its sessions, and report its socket path.
#pragma once

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
Result<Session> new_session(const Server& server, std::string name);
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
