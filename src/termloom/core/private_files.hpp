// Files only this user can read, in a folder of this process's own (0700,
// made on first use under $TMPDIR or /tmp), which is removed with whatever
// it still holds when the process exits.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"

namespace termloom {

// Writes a new file of mode 0600 named `name` in the folder; returns its path.
// The path holds only letters, digits and "/._-", so that it can be typed.
Result<std::string> write_private_file(std::string_view name, std::string_view content);

void remove_private_file(const std::string& path);

// Makes a FIFO of mode 0600 named `name` in the folder and, with `reading`,
// opens its reading end (non-blocking, close-on-exec); the path and the
// descriptor (-1 without `reading`).
struct PrivateFifo {
    std::string path;
    int fd = -1;
};
Result<PrivateFifo> make_private_fifo(std::string_view name, bool reading = true);

}  // namespace termloom
