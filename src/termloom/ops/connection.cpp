#include "connection.hpp"

#include "../core/connections.hpp"
#include "../core/server_socket.hpp"
#include "../core/text.hpp"
#include "run_tmux.hpp"

namespace termloom::connection_ops {

Result<Connection> connect(const Server& server) {
    auto host = host_of(server.socket);
    if (!host) return value_error(std::move(host.error().text));
    // The control client may start a server's client at the path: a path
    // that holds something else is refused, as for every command. (On a
    // remote host the client never starts a server: -N, or a look first.)
    if (!host->remote() && host->socket && socket_path_state(*host->socket) == SocketPathState::Other) {
        return runtime_error("refusing to start a tmux server: " + quote_text(*host->socket) +
                             " exists and is not a socket");
    }
    return Connection{server.socket, connections::open(server.socket)};
}

Result<bool> close(const Connection& connection) { return connections::close(connection.number); }

Result<bool> is_open(const Connection& connection) { return connections::is_open(connection.number); }

Result<std::optional<std::uint32_t>> client_pid(const Connection& connection) {
    if (!connections::is_open(connection.number)) return std::nullopt;
    const pid_t pid = connections::client_pid(connection.socket);
    if (pid == 0) return std::nullopt;
    return std::optional<std::uint32_t>(pid);
}

Result<void> end_of_block(const Connection& connection) {
    connections::close(connection.number);
    return {};
}

std::string repr(const Connection& connection) {
    return "Connection(socket=" + (connection.socket ? quote_text(*connection.socket) : std::string("None")) +
           ", open=" + (connections::is_open(connection.number) ? "True" : "False") + ")";
}

}  // namespace termloom::connection_ops
