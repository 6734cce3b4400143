#include "server.hpp"

#include <deque>

#include "../core/connections.hpp"
#include "../core/server_address.hpp"
#include "../core/server_socket.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane_spawn.hpp"
#include "run_tmux.hpp"

namespace termloom::server_ops {

Result<Server> make(SocketPath socket) {
    // An address of an unknown scheme is refused at once; the others are
    // reached only when a member runs.
    if (auto known = known_address(socket); !known) return std::unexpected(known.error());
    return Server{std::move(socket)};
}

Result<bool> is_running(const Server& server) {
    return status_of(tmux_argv(server.socket, {word("list-sessions")}));
}

namespace {

// tmux exits a moment after it answered kill-server; a server started on
// the socket before then fails. A few milliseconds, as a rule.
constexpr int kServerExitLimitMs = 2000;

// Waits until nothing accepts connections at `path` on the host of
// `address`. On a remote host a tmux client asks, in one run there, until
// it finds no server (about as long as here, at most); a tmux that cannot
// be run there stops the wait at once.
Result<bool> wait_until_server_gone(const SocketPath& address, const std::string& path) {
    auto host = host_of(address);
    if (!host) return value_error(std::move(host.error().text));
    if (!host->remote()) return wait_until_refused(path, kServerExitLimitMs);
    auto waited = output_of(
        HostCommand{address, {"sh", "-c",
                              "i=0;while [ $i -lt 250 ];do e=$(tmux -S \"$1\" list-sessions 2>&1 >/dev/null)"
                              "||case $e in *'no server running'*|*'rror connecting'*|*'not found'*)exit 0;;esac;"
                              "i=$((i+1));sleep 0.005 2>/dev/null||:;done",
                              "sh", path}},
        Capture::Stderr, kSpawnPrefix);
    if (!waited) {
        if (waited.error().kind == ErrorKind::Interrupted) return false;
        return std::unexpected(waited.error());
    }
    return true;
}

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

// The same for a remote default server, whose path only its host knows.
Result<bool> kill_remote_default_in_two_runs(const Server& server) {
    auto path = successful_stdout(tmux_argv(
        server.socket, {word("display-message"), word("-p"), fixed_operand("#{socket_path}")}));
    if (!path) return std::unexpected(path.error());
    if (!*path || trim(**path).empty()) return false;
    auto killed = status_of(tmux_argv(server.socket, {word("kill-server")}));
    if (!killed || !*killed) return killed;
    auto gone = wait_until_server_gone(server.socket, std::string(trim(**path)));
    if (!gone) return std::unexpected(gone.error());
    if (!*gone) return interrupted();
    return true;
}

}  // namespace

Result<bool> start(const Server& server) {
    // tmux ends a server as soon as it has no session (exit-empty, on by
    // default): one that start-server brought up with none would be gone
    // before the next command. So a server with no session gets exit-empty
    // off, in the same run; one with sessions keeps every option as it is.
    // A server without a session cannot have been running before with
    // exit-empty on, except for the moment before it ends.
    return status_of(starting_server(tmux_argv(
        server.socket, {word("start-server"), command_separator(), word("if-shell"), word("-F"),
                        fixed_operand("#{?session_id,0,1}"),
                        fixed_operand("set-option -s exit-empty off")})));
}

Result<bool> kill(const Server& server) {
    auto host = host_of(server.socket);
    if (!host) return value_error(std::move(host.error().text));
    std::string socket_path;
    if (host->socket) {
        auto killed = status_of(tmux_argv(server.socket, {word("kill-server")}));
        if (!killed || !*killed) return killed;
        socket_path = *host->socket;
    } else {
        auto release = release_on_host(server.socket);
        if (!release) return std::unexpected(release.error());
        if (kill_server_loses_output(*release)) {
            return host->remote() ? kill_remote_default_in_two_runs(server) : kill_default_in_two_runs();
        }
        // The default server's socket path, asked in the same run before it goes.
        auto killed = successful_output(
            tmux_argv(server.socket, {word("display-message"), word("-p"),
                                     fixed_operand("#{socket_path}"), command_separator(),
                                     word("kill-server")}),
            Capture::Stdout);
        if (!killed) return std::unexpected(killed.error());
        if (!*killed) return false;
        socket_path = decode_lossy(std::move((*killed)->stdout_bytes));
        socket_path.resize(without_line_end(socket_path).size());
    }
    auto gone = wait_until_server_gone(server.socket, socket_path);
    if (!gone) return std::unexpected(gone.error());
    if (!*gone) return interrupted();
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
    // Untargeted words resolve against the client that runs them: always
    // one tmux run of this process's own, as without a connection.
    connections::OncePerCall once;
    auto output = output_of(starting_server(tmux_argv(server.socket, words)), Capture::Both,
                            kServerSpawnPrefix);
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
    auto release = release_on_host(server.socket);
    if (!release) return std::unexpected(release.error());
    std::string message(kFailed);
    auto state = socket_state_on_host(server.socket);
    if (!state) return std::unexpected(state.error());
    if (server.socket && *state == SocketPathState::Absent) {
        message += "error creating " + parse_server_address(server.socket)->socket.value_or("") + ": ";
    }
    message += "tmux " + release->name + " exited with 0 but made no session";
    return runtime_error(std::move(message));
}

}  // namespace

Result<Session> new_session(const Server& server, std::string name,
                            std::optional<std::uint32_t> width, std::optional<std::uint32_t> height,
                            std::optional<std::string> directory, std::optional<std::string> command,
                            std::optional<Environment> environment,
                            std::optional<std::uint32_t> history_limit) {
    constexpr std::string_view kFailed = "new session failed: ";
    auto start = start_directory(server.socket, directory);
    if (!start) return std::unexpected(start.error());
    if (environment) {
        auto release = release_on_host(server.socket);
        if (!release) return std::unexpected(release.error());
        // tmux 3.1c has -e on new-window and split-window only; no other way
        // gives the first pane exactly these variables and nothing else.
        if (!release->name.empty() && !new_session_takes_environment(*release)) {
            return runtime_error(std::string(kFailed) + "environment needs tmux 3.2 or later (tmux " +
                                 release->name + " has no new-session -e); pass it to "
                                 "Session.new_window or Pane.split, which take it on this release");
        }
    }
    // tmux rewrites some names as it stores them (":" and ".", control and
    // unassigned characters): the handle takes the name it printed.
    auto written = format_text_on_host(server.socket, name);
    if (!written) return std::unexpected(written.error());
    std::deque<std::string> texts;
    std::vector<Arg> args = {word("new-session"), word("-d"), word("-s"), name_value(*written),
                             word("-P"), word("-F"), word("#{session_name}")};
    add_size(args, texts, width, height);
    add_start_directory(args, *start);
    add_environment(args, texts, environment);
    if (command) args.push_back(operand(*command));
    // A new session has no options of its own before it exists: its first
    // pane takes the global history-limit.
    auto output = history_limit
                      ? create_with_history_limit(server.socket, HistoryLimitLevel{}, *history_limit,
                                                  args, kFailed, kServerSpawnPrefix,
                                                  /*starts_server=*/true)
                      : output_starting_server(tmux_argv(server.socket, args), kServerSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(kFailed, *output, Stderr::Whole);
    std::string stored = decode_lossy(std::move(output->stdout_bytes));
    stored.resize(without_line_end(stored).size());
    // Some failures (a socket it could not create) tmux reports only on
    // standard error, exiting with 0; then it printed no name.
    if (stored.empty()) return made_no_session(server, *output);
    return Session{std::move(stored), server.socket};
}

Result<std::optional<std::string>> current_socket(const Server& server) {
    auto host = host_of(server.socket);
    if (!host) return value_error(std::move(host.error().text));
    if (host->socket) return server.socket;
    // With no socket path of our own, tmux reports where its default server
    // is; on a remote host, as the address of that server.
    auto text = successful_stdout(tmux_argv(
        server.socket, {word("display-message"), word("-p"), fixed_operand("#{socket_path}")}));
    if (!text || !*text) return text;
    auto path = trimmed_value(**text);
    if (!path || !host->remote()) return path;
    return address_with_socket(*host, *path);
}

}  // namespace termloom::server_ops
