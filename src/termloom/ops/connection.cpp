#include "connection.hpp"

#include "../core/connections.hpp"
#include "../core/text.hpp"
#include "run_tmux.hpp"

namespace termloom::connection_ops {

Result<Connection> connect(const Server& server) {
    // The control client may start a server's client at the path: a path
    // that holds something else is refused, as for every command.
    auto refused = refuse_non_socket_path(server.socket);
    if (!refused) return std::unexpected(refused.error());
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
