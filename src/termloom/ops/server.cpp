#include "server.hpp"

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "run_tmux.hpp"

namespace termloom::server_ops {

Server make(SocketPath socket) { return Server{std::move(socket)}; }

Result<bool> is_running(const Server& server) {
    return status_of(tmux_argv(server.socket, {word("list-sessions")}));
}

Result<bool> start(const Server& server) {
    return status_of(tmux_argv(server.socket, {word("start-server")}));
}

Result<bool> kill(const Server& server) {
    return status_of(tmux_argv(server.socket, {word("kill-server")}));
}

Result<bool> has_session(const Server& server, std::string name) {
    auto target = session_target(name);
    if (!target) return false;
    return status_of(tmux_argv(server.socket, {word("has-session"), word("-t"), value(*target)}));
}

Result<std::vector<Session>> sessions(const Server& server) {
    auto text = successful_stdout(
        tmux_argv(server.socket, {word("list-sessions"), word("-F"), word("#{session_name}")}));
    if (!text) return std::unexpected(text.error());
    std::vector<Session> found;
    if (!*text) return found;
    // Each name exactly as listed: " build" and "build" are two sessions.
    for (std::string_view name : split_lines(**text)) {
        if (!name.empty()) found.push_back(Session{std::string(name), server.socket});
    }
    return found;
}

Result<Session> new_session(const Server& server, std::string name) {
    // When tmux may store the name otherwise, it prints what it stored, so
    // that the handle names the session that now exists.
    const bool ask_stored = tmux_may_rewrite_session_name(name);
    std::vector<Arg> args = {word("new-session"), word("-d"), word("-s"), name_value(name)};
    if (ask_stored) args.insert(args.end(), {word("-P"), word("-F"), word("#{session_name}")});
    auto output = output_of(tmux_argv(server.socket, args),
                            ask_stored ? Capture::Both : Capture::Stderr, kServerSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure("new session failed: ", *output, Stderr::Whole);
    std::string stored = decode_lossy(std::move(output->stdout_bytes));
    stored.resize(without_line_end(stored).size());
    return Session{stored.empty() ? std::move(name) : std::move(stored), server.socket};
}

Result<std::optional<std::string>> current_socket(const Server& server) {
    if (server.socket) return server.socket;
    // With no socket path of our own, tmux reports where its default server is.
    auto text = successful_stdout(tmux_argv(
        std::nullopt, {word("display-message"), word("-p"), fixed_operand("#{socket_path}")}));
    if (!text || !*text) return text;
    return trimmed_value(**text);
}

}  // namespace termloom::server_ops
