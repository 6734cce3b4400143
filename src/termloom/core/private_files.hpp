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

}  // namespace termloom
