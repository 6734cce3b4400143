// Command lines for the host of a tmux server.
//
// Every command that reaches a tmux server, or looks at the processes of its
// panes (ps), is a HostCommand: the server's address and the argument vector
// to run on that server's host. How it gets there is decided here, once, by
// the address; the operations never build a transport of their own.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process.hpp"

namespace termloom {

struct HostCommand {
    // The server's address, as handles carry it: absent for tmux's default
    // server, otherwise a socket path.
    std::optional<std::string> address;
    // What runs there: "tmux" and its arguments, or another program.
    std::vector<std::string> argv;
};

// A status run of the command (see run_status).
std::expected<bool, RunError> run_status_on_host(const HostCommand& command);

// An output run of the command (see run_output).
std::expected<CommandOutput, RunError> run_output_on_host(const HostCommand& command,
                                                          Capture capture,
                                                          std::string_view input = {});

// The command started in the background (see BackgroundChild).
std::expected<BackgroundChild, RunError> start_on_host(const HostCommand& command,
                                                       bool with_input = false);

}  // namespace termloom
