// Starting a child where posix_spawn can't close the host's descriptors
// itself (glibc before 2.34).
//
// The host is forked and the child, the only thread in its copy of the
// descriptor table, closes everything above 2 before it execs: a descriptor
// another thread of the host opens meanwhile can't slip through, as it could
// with a list of descriptors taken in the host before the spawn. The child
// gets what posix_spawn would give it: its own process group, an empty
// signal mask, the default action for SIGPIPE and SIGXFSZ (which Python
// ignores) and for every signal the host catches, standard input
// inherited when stdin_fd < 0, the program looked up on PATH as posix_spawnp
// does, and the exec error reported back.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace termloom {

// The paths exec tries, as posix_spawnp searches: the name itself when it
// holds a '/', else each PATH entry in turn (an empty one is the current
// folder). spawn_in_fork makes them before the fork, as the child must not
// allocate.
std::vector<std::string> exec_candidates(const char* file);

// The descriptors given are >= 3. Returns 0 with `pid` set, or the error
// number (the exec error when the program can't run; that child is reaped).
int spawn_in_fork(char* const argv[], int stdin_fd, int stdout_fd, int stderr_fd, pid_t& pid);

}  // namespace termloom
