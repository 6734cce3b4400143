// Which program holds a terminal's foreground, seen from /proc.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

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

// Whether a command name is one of the POSIX shells run can drive.
bool is_posix_shell(std::string_view name);

}  // namespace termloom
