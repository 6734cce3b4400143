#include "server_address.hpp"

#include "text.hpp"

namespace termloom {
namespace {

constexpr std::string_view kSchemes = "ssh://, docker:// and podman://";

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The scheme of a text that starts with one (RFC 3986's letters, digits,
// "+", "-" and "."), or nothing: then the text is a path.
std::optional<std::string_view> scheme_of(std::string_view text) {
    const auto end = text.find("://");
    if (end == std::string_view::npos || end == 0 || !is_letter(text[0])) return std::nullopt;
    for (char c : text.substr(0, end)) {
        if (!is_letter(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    }
    return text.substr(0, end);
}

// Host names, user names and containers are passed to ssh or the engine as
// words of their own: no character that either would read as an option or
// as syntax ("-" first, spaces, quotes, "%" escapes).
bool plain_name(std::string_view text, std::string_view extra = {}) {
    if (text.empty() || text.front() == '-' || text.front() == '.') return false;
    for (char c : text) {
        if (!is_letter(c) && !is_digit(c) && c != '.' && c != '_' && c != '-' &&
            extra.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

std::unexpected<std::string> malformed(std::string_view address, std::string_view why) {
    return std::unexpected("bad tmux server address " + quote_text(address) + ": " + std::string(why));
}

// "/socket/path" after the host part; none when there is no path.
std::expected<std::optional<std::string>, std::string> socket_part(std::string_view address,
                                                                  std::string_view rest) {
    if (rest.empty()) return std::nullopt;
    if (rest == "/") return malformed(address, "the socket path after the host is empty");
    return std::string(rest);
}

std::expected<ServerAddress, std::string> parse_ssh(std::string_view address, std::string_view rest) {
    ServerAddress parsed;
    parsed.transport = Transport::Ssh;
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    auto socket = socket_part(address, slash == std::string_view::npos ? std::string_view() : rest.substr(slash));
    if (!socket) return std::unexpected(socket.error());
    parsed.socket = std::move(*socket);
    if (const auto at = authority.find('@'); at != std::string_view::npos) {
        parsed.user = std::string(authority.substr(0, at));
        authority.remove_prefix(at + 1);
        if (!plain_name(parsed.user)) {
            return malformed(address, "the user name may hold only letters, digits, \".\", \"_\" and \"-\"");
        }
    }
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        // An IPv6 address, "[::1]" or "[::1]:2222".
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return malformed(address, "no \"]\" after the IPv6 address");
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) return malformed(address, "text after \"]\"");
        if (!after.empty()) port = after.substr(1);
        if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF:.%") != std::string_view::npos) {
            return malformed(address, "not an IPv6 address between \"[\" and \"]\"");
        }
    } else {
        if (const auto colon = authority.find(':'); colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
        if (!plain_name(host)) {
            return malformed(address, host.empty() ? "no host"
                                                   : "the host may hold only letters, digits, \".\", \"_\" and \"-\"");
        }
    }
    parsed.host = std::string(host);
    if (authority.size() > host.size() && port.empty() && !authority.ends_with(']')) {
        return malformed(address, "no port after \":\"");
    }
    if (!port.empty()) {
        auto number = parse_u32(port);
        if (!number || *number == 0 || *number > 65535) return malformed(address, "the port is not a number from 1 to 65535");
        parsed.port = std::string(port);
    }
    return parsed;
}

std::expected<ServerAddress, std::string> parse_container(std::string_view address, std::string_view rest,
                                                          Transport engine) {
    ServerAddress parsed;
    parsed.transport = engine;
    const auto slash = rest.find('/');
    const std::string_view container = rest.substr(0, slash);
    if (!plain_name(container)) {
        return malformed(address, container.empty()
                                      ? "no container"
                                      : "the container may hold only letters, digits, \".\", \"_\" and \"-\"");
    }
    parsed.host = std::string(container);
    auto socket = socket_part(address, slash == std::string_view::npos ? std::string_view() : rest.substr(slash));
    if (!socket) return std::unexpected(socket.error());
    parsed.socket = std::move(*socket);
    return parsed;
}

}  // namespace

std::expected<ServerAddress, std::string> parse_server_address(
    const std::optional<std::string>& address) {
    if (!address) return ServerAddress{};
    const auto scheme = scheme_of(*address);
    if (!scheme) {
        ServerAddress path;
        path.socket = *address;
        return path;
    }
    const std::string_view rest = std::string_view(*address).substr(scheme->size() + 3);
    if (*scheme == "ssh") return parse_ssh(*address, rest);
    if (*scheme == "docker") return parse_container(*address, rest, Transport::Docker);
    if (*scheme == "podman") return parse_container(*address, rest, Transport::Podman);
    return std::unexpected("unknown tmux server address scheme " + quote_text(std::string(*scheme) + "://") +
                           " in " + quote_text(*address) + ": termloom reaches tmux through a socket " +
                           "path, or " + std::string(kSchemes));
}

std::string host_label(const ServerAddress& address) {
    switch (address.transport) {
    case Transport::Local:
        return "this machine";
    case Transport::Ssh: {
        std::string text = address.user.empty() ? std::string() : address.user + "@";
        text += address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
        if (!address.port.empty()) text += ":" + address.port;
        return "ssh host " + quote_text(text);
    }
    case Transport::Docker:
        return "docker container " + quote_text(address.host);
    case Transport::Podman:
        return "podman container " + quote_text(address.host);
    }
    return {};
}

std::string address_with_socket(const ServerAddress& address, std::string_view socket) {
    std::string text;
    switch (address.transport) {
    case Transport::Local:
        return std::string(socket);
    case Transport::Ssh:
        text = "ssh://";
        if (!address.user.empty()) text += address.user + "@";
        text += address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
        if (!address.port.empty()) text += ":" + address.port;
        break;
    case Transport::Docker:
        text = "docker://" + address.host;
        break;
    case Transport::Podman:
        text = "podman://" + address.host;
        break;
    }
    return text + std::string(socket);
}

}  // namespace termloom
