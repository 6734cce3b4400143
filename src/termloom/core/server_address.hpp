// Where a tmux server is: the text every handle carries in its socket field.
//
//  - absent: tmux's default server on this machine;
//  - a path: the server on that socket, on this machine;
//  - ssh://[user@]host[:port][/socket/path]: tmux on that host, reached with
//    OpenSSH (the user's own ssh set-up: aliases, keys, ProxyJump...);
//  - docker://container[/socket/path], podman://container[/socket/path]:
//    tmux in that container, reached with the engine's `exec -i`.
// A remote address without a path names that host's default server.
//
// Only a text that starts with a scheme ("letters://") is an address; any
// other text is a path as before, "://" inside it or not. A scheme other
// than the three is refused.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace termloom {

enum class Transport { Local, Ssh, Docker, Podman };

struct ServerAddress {
    Transport transport = Transport::Local;
    std::string host;  // ssh: the host as ssh takes it; docker, podman: the container
    std::string user;  // ssh only; "" leaves it to ssh
    std::string port;  // ssh only; "" leaves it to ssh
    // The socket path on the tmux host; none for its default server.
    std::optional<std::string> socket;

    bool remote() const { return transport != Transport::Local; }
};

// The address a handle carries, read; the message of a ValueError when it
// names a scheme termloom does not know or is malformed.
std::expected<ServerAddress, std::string> parse_server_address(
    const std::optional<std::string>& address);

// How messages name where tmux runs: "ssh host 'user@box:2222'",
// "docker container 'web'".
std::string host_label(const ServerAddress& address);

// The same server's address with the socket path tmux reported (for a
// remote default server, whose path only the host knows).
std::string address_with_socket(const ServerAddress& address, std::string_view socket);

}  // namespace termloom
