#include "host_command.hpp"

#include <atomic>

#include <sys/wait.h>
#include <unistd.h>

#include "connections.hpp"
#include "server_socket.hpp"
#include "ssh_connections.hpp"
#include "text.hpp"


namespace termloom {
namespace {

// What a remote command prints first: RS "tl" RS.
constexpr std::string_view kMarker = "\x1etl\x1e";
constexpr std::string_view kPrintMarker = "printf '\\036tl\\036';";
// Printed after the marker instead of running, by a guarded run.
constexpr std::string_view kRefused = "refused";

std::atomic<bool> connecting{true};

// The script run by sh on the host, its arguments "$@": the socket path
// first for a guarded run, then the argument vector.
std::string host_script(bool guard, bool ends_with_caller) {
    std::string script;
    if (guard) {
        // Refused where the path holds anything but a socket, a dangling
        // link included, as socket_path_state sees it.
        script += "if [ -L \"$1\" ]||[ -e \"$1\" ];then [ -S \"$1\" ]||{ printf refused;exit 0;};fi;shift;";
    }
    if (!ends_with_caller) return script + "exec \"$@\"";
    // The command in the background and a reader of standard input beside
    // it: at its end of file (the caller's client went) the command is
    // ended. An asynchronous list reads /dev/null unless told otherwise.
    return script +
           "exec 3<&0;\"$@\" </dev/null 3<&- & p=$!;{ cat >/dev/null;kill $p;} <&3 >/dev/null 2>&1 & "
           "w=$!;exec 3<&-;wait $p;s=$?;kill $w 2>/dev/null;exit $s";
}

std::string quoted_words(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty()) line += ' ';
        line += shell_quoted(word);
    }
    return line;
}

// The argument vector that runs `command` on its remote host.
std::expected<std::vector<std::string>, RunError> remote_argv(const ServerAddress& host,
                                                              const HostCommand& command,
                                                              bool ends_with_caller) {
    const bool guard = command.starts_server && host.socket;
    std::vector<std::string> args;
    if (guard) args.push_back(*host.socket);
    args.insert(args.end(), command.argv.begin(), command.argv.end());
    if (host.transport == Transport::Ssh) {
        auto argv = ssh_argv_for(host, connecting.load(std::memory_order_relaxed));
        if (!argv) return std::unexpected(argv.error());
        // One line for the login shell on the host: ssh joins its words
        // with spaces, so every word is quoted.
        std::string line(kPrintMarker);
        if (!guard && !ends_with_caller) {
            line += "exec " + quoted_words(command.argv);
        } else {
            line += "exec sh -c " + shell_quoted(host_script(guard, ends_with_caller)) + " sh " +
                    quoted_words(args);
        }
        argv->push_back(std::move(line));
        return std::move(*argv);
    }
    std::vector<std::string> argv = {host.transport == Transport::Docker ? "docker" : "podman",
                                     "exec", "-i", host.host, "sh", "-c",
                                     std::string(kPrintMarker) + host_script(guard, ends_with_caller),
                                     "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::unexpected<RunError> transport(std::string text) {
    return std::unexpected(RunError{RunError::Kind::Transport, std::move(text)});
}

std::string program_name(const HostCommand& command) {
    return command.argv.empty() ? std::string() : command.argv.front();
}

// A failed start of ssh or the engine itself.
RunError start_failure(const ServerAddress& host, RunError error) {
    if (error.kind != RunError::Kind::Spawn) return error;
    const std::string program = host.transport == Transport::Ssh ? "ssh"
                                : host.transport == Transport::Docker ? "docker" : "podman";
    return RunError{RunError::Kind::Transport, "cannot reach " + host_label(host) + ": cannot run " +
                                                   program + ": " + error.text};
}

// The remote run's output as the command gave it, or the error of the way.
std::expected<CommandOutput, RunError> command_output(const ServerAddress& host,
                                                      const HostCommand& command,
                                                      CommandOutput output, Capture capture) {
    if (auto failure = transport_failure(host, program_name(command), output)) return transport(*failure);
    output.stdout_bytes.erase(0, kMarker.size());
    if (command.starts_server && host.socket && output.stdout_bytes == kRefused && succeeded(output)) {
        return std::unexpected(RunError{RunError::Kind::Refused, *host.socket});
    }
    if (capture == Capture::Stderr || capture == Capture::Neither) output.stdout_bytes.clear();
    if (capture == Capture::Stdout || capture == Capture::Neither) output.stderr_bytes.clear();
    return output;
}

}  // namespace

std::expected<ServerAddress, RunError> host_of(const std::optional<std::string>& address) {
    auto parsed = parse_server_address(address);
    if (!parsed) return std::unexpected(RunError{RunError::Kind::Address, std::move(parsed.error())});
    return std::move(*parsed);
}

std::optional<std::string> transport_failure(const ServerAddress& host, std::string_view program,
                                             const CommandOutput& output) {
    const std::string words(trim(decode_lossy(output.stderr_bytes)));
    const std::string said = words.empty() ? exit_description(output.wait_status) : words;
    const bool ssh = host.transport == Transport::Ssh;
    const int code = WIFEXITED(output.wait_status) ? WEXITSTATUS(output.wait_status) : -1;
    if (ssh && code == 255) return "cannot reach tmux on " + host_label(host) + ": " + said;
    const std::string_view out = output.stdout_bytes;
    if (!out.starts_with(kMarker)) {
        const auto at = out.find(kMarker);
        if (at != std::string_view::npos || (!out.empty() && succeeded(output))) {
            const std::string_view before = out.substr(0, at == std::string_view::npos ? 80 : std::min<std::size_t>(at, 80));
            return host_label(host) + " printed " + quote_text(decode_lossy(std::string(before))) +
                   " before running the command (a start-up file of its login shell, such as "
                   "~/.bashrc?): termloom needs the shell to print nothing when it is not interactive";
        }
        return "the command did not run on " + host_label(host) + " (" +
               exit_description(output.wait_status) + "): " + said;
    }
    if (code == 126 || code == 127) {
        return "cannot run " + quote_text(program) + " on " + host_label(host) + ": " + said;
    }
    return std::nullopt;
}

namespace {

// A command that may start a server on this machine does not run where
// something other than a socket is at the path (tmux would replace it).
std::optional<RunError> refusal(const ServerAddress& host, const HostCommand& command) {
    if (command.starts_server && host.socket && socket_path_state(*host.socket) == SocketPathState::Other) {
        return RunError{RunError::Kind::Refused, *host.socket};
    }
    return std::nullopt;
}

}  // namespace

std::expected<bool, RunError> run_status_on_host(const HostCommand& command) {
    if (auto ran = connections::try_run(command, Capture::Neither, {})) {
        if (!*ran) return std::unexpected(ran->error());
        return succeeded(**ran);
    }
    auto host = host_of(command.address);
    if (!host) return std::unexpected(host.error());
    if (!host->remote()) {
        if (auto refused = refusal(*host, command)) return std::unexpected(std::move(*refused));
        return run_status(command.argv);
    }
    auto ran = run_output_on_host(command, Capture::Neither);
    if (!ran) return std::unexpected(ran.error());
    return succeeded(*ran);
}

std::expected<CommandOutput, RunError> run_output_on_host(const HostCommand& command,
                                                          Capture capture,
                                                          std::string_view input) {
    if (auto ran = connections::try_run(command, capture, input)) return std::move(*ran);
    auto host = host_of(command.address);
    if (!host) return std::unexpected(host.error());
    if (!host->remote()) {
        if (auto refused = refusal(*host, command)) return std::unexpected(std::move(*refused));
        return run_output(command.argv, capture, input);
    }
    auto argv = remote_argv(*host, command, false);
    if (!argv) return std::unexpected(argv.error());
    auto ran = run_output(*argv, Capture::Both, input);
    if (!ran) return std::unexpected(start_failure(*host, std::move(ran.error())));
    return command_output(*host, command, std::move(*ran), capture);
}

std::expected<HostChild, RunError> HostChild::start(const HostCommand& command,
                                                    HostChildOptions options) {
    auto host = host_of(command.address);
    if (!host) {
        if (options.stdout_fd >= 0) ::close(options.stdout_fd);
        return std::unexpected(host.error());
    }
    const std::string program = program_name(command);
    if (!host->remote()) {
        auto child = BackgroundChild::start(
            command.argv, StartOptions{std::move(options.input), false, options.stdout_fd});
        if (!child) return std::unexpected(child.error());
        return HostChild(std::move(*child), std::move(*host), program, {});
    }
    const bool ends_with_caller = options.ends_with_caller && options.input.empty();
    auto argv = remote_argv(*host, command, ends_with_caller);
    if (!argv) {
        if (options.stdout_fd >= 0) ::close(options.stdout_fd);
        return std::unexpected(argv.error());
    }
    auto child = BackgroundChild::start(
        *argv, StartOptions{std::move(options.input), ends_with_caller, options.stdout_fd});
    if (!child) return std::unexpected(start_failure(*host, std::move(child.error())));
    return HostChild(std::move(*child), std::move(*host), program, std::string(kMarker));
}

std::expected<int, RunError> HostChild::finish() {
    auto status = child_.finish();
    if (!status || !host_.remote()) return status;
    CommandOutput output{*status, child_.stdout_bytes, child_.stderr_bytes};
    if (auto failure = transport_failure(host_, program_, output)) return transport(*failure);
    return status;
}

std::string HostChild::stdout_text() const {
    std::string_view out = child_.stdout_bytes;
    if (!prefix_.empty() && out.starts_with(prefix_)) out.remove_prefix(prefix_.size());
    return std::string(out);
}

std::expected<std::vector<std::string>, RunError> argv_on_host(const HostCommand& command) {
    auto host = host_of(command.address);
    if (!host) return std::unexpected(host.error());
    if (!host->remote()) return command.argv;
    return remote_argv(*host, command, false);
}

RunError start_failure_on(const std::optional<std::string>& address, RunError error) {
    auto host = host_of(address);
    if (!host || !host->remote()) return error;
    return start_failure(*host, std::move(error));
}

std::string_view remote_output_prefix() { return kMarker; }

void stop_connecting() { connecting.store(false, std::memory_order_relaxed); }

}  // namespace termloom
