#include "server.hpp"

#include "../core/connections.hpp"
#include "../core/server_socket.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "run_tmux.hpp"

namespace termloom::server_ops {

Server make(SocketPath socket) { return Server{std::move(socket)}; }

Result<bool> is_running(const Server& server) {
    return status_of(tmux_argv(server.socket, {word("list-sessions")}));
}

namespace {

// tmux exits a moment after it answered kill-server; a server started on
// the socket before then fails. A few milliseconds, as a rule.
constexpr int kServerExitLimitMs = 2000;

// The default server on a release that loses the output of a command
// before kill-server: its path is asked first, in a run of its own. The
// client finds the default path from its environment, so the kill reaches
// the server at that same path.
Result<bool> kill_default_in_two_runs() {
    auto path = current_socket(Server{});
    if (!path) return std::unexpected(path.error());
    if (!*path) return false;
    auto killed = status_of(tmux_argv(std::nullopt, {word("kill-server")}));
    if (!killed || !*killed) return killed;
    if (!wait_until_refused(**path, kServerExitLimitMs)) return interrupted();
    return true;
}

}  // namespace

Result<bool> start(const Server& server) {
    auto refused = refuse_non_socket_path(server.socket);
    if (!refused) return std::unexpected(refused.error());
    // tmux ends a server as soon as it has no session (exit-empty, on by
    // default): one that start-server brought up with none would be gone
    // before the next command. So a server with no session gets exit-empty
    // off, in the same run; one with sessions keeps every option as it is.
    // A server without a session cannot have been running before with
    // exit-empty on, except for the moment before it ends.
    return status_of(tmux_argv(
        server.socket, {word("start-server"), command_separator(), word("if-shell"), word("-F"),
                        fixed_operand("#{?session_id,0,1}"),
                        fixed_operand("set-option -s exit-empty off")}));
}

Result<bool> kill(const Server& server) {
    std::string socket_path;
    if (server.socket) {
        auto killed = status_of(tmux_argv(server.socket, {word("kill-server")}));
        if (!killed || !*killed) return killed;
        socket_path = *server.socket;
    } else {
        auto release = release_on_path();
        if (!release) return std::unexpected(release.error());
        if (kill_server_loses_output(*release)) return kill_default_in_two_runs();
        // The default server's socket path, asked in the same run before it goes.
        auto killed = successful_output(
            tmux_argv(std::nullopt, {word("display-message"), word("-p"),
                                     fixed_operand("#{socket_path}"), command_separator(),
                                     word("kill-server")}),
            Capture::Stdout);
        if (!killed) return std::unexpected(killed.error());
        if (!*killed) return false;
        socket_path = decode_lossy(std::move((*killed)->stdout_bytes));
        socket_path.resize(without_line_end(socket_path).size());
    }
    if (!wait_until_refused(socket_path, kServerExitLimitMs)) return interrupted();
    return true;
}

Result<void> end_of_block(const Server& server) {
    auto killed = kill(server);
    if (!killed) return std::unexpected(killed.error());
    if (*killed) return {};
    auto running = is_running(server);
    if (!running) return std::unexpected(running.error());
    if (!*running) return {};  // none was running: nothing left to end
    return runtime_error("kill server failed: the server still runs");
}

Result<std::string> command(const Server& server, TextArgs args) {
    // The caller writes tmux syntax: every word is passed as it is.
    std::vector<Arg> words;
    words.reserve(args.items.size());
    for (const std::string& item : args.items) words.push_back(word(item));
    // A command may start a server, which would replace what is at the path.
    auto refused = refuse_non_socket_path(server.socket);
    if (!refused) return std::unexpected(refused.error());
    // Untargeted words resolve against the client that runs them: always
    // one tmux run of this process's own, as without a connection.
    connections::OncePerCall once;
    auto output = output_of(tmux_argv(server.socket, words), Capture::Both, kServerSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) {
        if (!trim(decode_lossy(output->stderr_bytes)).empty()) {
            return tmux_failure("tmux command failed: ", *output, Stderr::Trimmed);
        }
        return runtime_error("tmux command failed: " + exit_description(output->wait_status));
    }
    return decode_lossy(std::move(output->stdout_bytes));
}

Result<bool> has_session(const Server& server, std::string name) {
    auto found = find_session(server.socket, name);
    if (!found) return std::unexpected(found.error());
    return found->found();
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

namespace {

// new-session exited with 0 but printed no name. tmux 3.1c does so without
// a word when it could not create its socket.
std::unexpected<Error> made_no_session(const Server& server, const CommandOutput& output) {
    constexpr std::string_view kFailed = "new session failed: ";
    if (!trim(decode_lossy(output.stderr_bytes)).empty()) {
        return tmux_failure(kFailed, output, Stderr::Whole);
    }
    auto release = release_on_path();
    if (!release) return std::unexpected(release.error());
    std::string message(kFailed);
    if (server.socket && socket_path_state(*server.socket) == SocketPathState::Absent) {
        message += "error creating " + *server.socket + ": ";
    }
    message += "tmux " + release->name + " exited with 0 but made no session";
    return runtime_error(std::move(message));
}

}  // namespace

Result<Session> new_session(const Server& server, std::string name) {
    auto refused = refuse_non_socket_path(server.socket);
    if (!refused) return std::unexpected(refused.error());
    // tmux rewrites some names as it stores them (":" and ".", control and
    // unassigned characters, "#["): the handle takes the name it printed.
    auto output = output_of(
        tmux_argv(server.socket, {word("new-session"), word("-d"), word("-s"), name_value(name),
                                  word("-P"), word("-F"), word("#{session_name}")}),
        Capture::Both, kServerSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    constexpr std::string_view kFailed = "new session failed: ";
    if (!succeeded(*output)) return tmux_failure(kFailed, *output, Stderr::Whole);
    std::string stored = decode_lossy(std::move(output->stdout_bytes));
    stored.resize(without_line_end(stored).size());
    // Some failures (a socket it could not create) tmux reports only on
    // standard error, exiting with 0; then it printed no name.
    if (stored.empty()) return made_no_session(server, *output);
    return Session{std::move(stored), server.socket};
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
