// Command lines for the host of a tmux server.
//
// Every command that reaches a tmux server, or looks at the processes of its
// panes (ps, /proc), is a HostCommand: the server's address and the argument
// vector to run on that server's host. How it gets there is decided here,
// once, by the address (core/server_address.hpp); the operations never build
// a transport of their own:
//  - a socket path (or none): the argument vector runs here, as it is;
//  - ssh://: through our connection to the host (core/ssh_connections.hpp),
//    as one line for the remote login shell in which every word is quoted
//    for a POSIX shell, so each argument arrives exactly as given;
//  - docker://, podman://: `ENGINE exec -i CONTAINER sh -c ...`, the
//    arguments passed as they are.
//
// The way there is not tmux: its failures never look like tmux's answers.
// The remote command first prints a marker of ours, so a run knows that it
// started there, and a login shell that printed something before it (a
// banner from a start-up file) is seen; ssh's own failures (exit status
// 255), an engine that did not run the command, and a host where the
// program cannot be run are RunError Transport, whatever the command was:
// never a False or an empty listing. A remote run's output is what the
// command printed, the marker taken away.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process.hpp"
#include "server_address.hpp"

namespace termloom {

struct HostCommand {
    // The server's address, as handles carry it: absent for tmux's default
    // server, a socket path, or a remote address.
    std::optional<std::string> address;
    // What runs there: "tmux" and its arguments, or another program.
    std::vector<std::string> argv;
    // The run may start a tmux server, which would remove whatever is at
    // the socket path: something there that is not a socket is refused
    // (RunError Refused) and nothing runs. Not for the default server.
    bool starts_server = false;
};

// The address, read; a RunError Address for one that is not an address.
std::expected<ServerAddress, RunError> host_of(const std::optional<std::string>& address);

// A status run of the command (see run_status). On a remote host, an exit
// status other than 0 is false only when the command itself gave it.
std::expected<bool, RunError> run_status_on_host(const HostCommand& command);

// An output run of the command (see run_output).
std::expected<CommandOutput, RunError> run_output_on_host(const HostCommand& command,
                                                          Capture capture,
                                                          std::string_view input = {});

// A command started in the background (see BackgroundChild), with its
// output read as the transport gives it back.
struct HostChildOptions {
    std::string input;           // its standard input, then end of file
    // On a remote host, the command is ended when this object goes (a
    // remote command outlives its ssh or engine client otherwise).
    bool ends_with_caller = false;
    int stdout_fd = -1;          // its standard output, taken over; none: a pipe
};

class HostChild {
public:
    static std::expected<HostChild, RunError> start(const HostCommand& command,
                                                    HostChildOptions options = {});

    int output_fd() const { return child_.output_fd(); }
    bool read_available() { return child_.read_available(); }
    bool write_input() { return child_.write_input(); }
    // Once both outputs ended: reaps it; its wait status, or the error of
    // the way there (a remote run that failed before or around the command).
    std::expected<int, RunError> finish();
    // What the command printed on standard output (the marker taken away).
    std::string stdout_text() const;
    const std::string& stderr_bytes() const { return child_.stderr_bytes; }
    // For a stream's source: the child and its standard error, handed over,
    // and what its standard output starts with before the command's bytes.
    BackgroundChild::Released release_child() { return child_.release_child(); }
    const std::string& output_prefix() const { return prefix_; }

private:
    HostChild(BackgroundChild child, ServerAddress host, std::string program, std::string prefix)
        : child_(std::move(child)), host_(std::move(host)), program_(std::move(program)),
          prefix_(std::move(prefix)) {}
    BackgroundChild child_;
    ServerAddress host_;
    std::string program_;
    std::string prefix_;
};

// The error text of a remote run that went wrong on the way: ssh's exit
// status 255, the marker missing or after other output, the program not
// found; none when the run is the command's own. `output` holds what the
// transport gave back, marker included.
std::optional<std::string> transport_failure(const ServerAddress& host, std::string_view program,
                                             const CommandOutput& output);

// The argument vector that runs `command` on its host from here, for a
// caller that talks to it itself (a control client): on this machine the
// command's own; on a remote host, through its transport, its standard
// output starting with remote_output_prefix(). A failure to start it is
// the caller's to report, as start_failure_on gives it.
std::expected<std::vector<std::string>, RunError> argv_on_host(const HostCommand& command);
RunError start_failure_on(const std::optional<std::string>& address, RunError error);

// What a remote command's standard output starts with, before the
// command's own bytes: a reader of a child's output that is given no
// HostChild to read it (a stream's source) drops it itself.
std::string_view remote_output_prefix();

// At the host's exit: no new connection is made from now on (a run to a
// host whose connection is gone fails at once instead of waiting for it).
void stop_connecting();

}  // namespace termloom
