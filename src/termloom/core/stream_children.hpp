// The children that feed stream sources (core/output_streams.hpp).
#pragma once

#include <cstddef>
#include <string>

#include <sys/types.h>

#include "output_streams.hpp"

namespace termloom::streams {

// Reaps a child whose output has ended; one still running a moment later
// (it closed its output but goes on), or at once with `kill_first`, is
// killed first, so the reading thread never waits for it long. Its wait
// status; -1 when it was killed here (or is none).
int reap_child(pid_t child, bool kill_first);

// The end of a source read through a child (its descriptors closed, its
// child reaped): why it failed, or "" when the child exited with 0 after
// its prefix (`prefix_seen` bytes of it matched).
std::string finish_child_source(const Source& source, std::size_t prefix_seen);

}  // namespace termloom::streams
