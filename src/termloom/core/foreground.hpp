// Which program holds a terminal's foreground, seen from /proc.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include <sys/types.h>

#include "process.hpp"

namespace termloom {

struct ForegroundProgram {
    pid_t pid = 0;
    std::string name;  // the process's command name, as ps shows it
};

// The leader of the foreground process group of `pid`'s controlling terminal;
// none when /proc does not tell (no such process, no terminal).
std::optional<ForegroundProgram> foreground_of(pid_t pid);

// Whether the process sleeps in a system call that waits for input (read,
// poll, select and their kin), as a shell at its prompt does; false when
// /proc does not tell.
bool waits_for_input(pid_t pid);

// The foreground program of `pid`'s terminal, and whether it waits for
// input, on the host of the server at `address` (core/host_command.hpp):
// here from /proc, on a remote host from its /proc in one small run there.
// None when it does not tell.
struct ForegroundState {
    ForegroundProgram program;
    bool waiting = false;  // as waits_for_input tells
};
std::expected<std::optional<ForegroundState>, RunError> foreground_on_host(
    const std::optional<std::string>& address, pid_t pid);

// Whether a command name is one of the POSIX shells run can drive.
bool is_posix_shell(std::string_view name);

}  // namespace termloom
