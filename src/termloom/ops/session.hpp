// What a Session handle does: kill, rename, list its windows, report its
// metadata.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom::session_ops {

Result<Session> make(std::string name, SocketPath socket);

Result<bool> kill(const Session& session);
// The end of a `with` block: the session is killed; an error only when it
// is still there afterwards.
Result<void> end_of_block(const Session& session);
Result<void> rename(Session& session, std::string new_name);
Result<SessionMetadata> metadata(const Session& session);
Result<std::vector<Window>> windows(const Session& session);
std::string repr(const Session& session);

// A window at the next free index, not made current; the handle carries the
// index and name tmux gave it. history_limit is its pane's.
Result<Window> new_window(const Session& session, std::optional<std::string> name,
                          std::optional<std::string> command, std::optional<std::string> directory,
                          std::optional<Environment> environment,
                          std::optional<std::uint32_t> history_limit);

}  // namespace termloom::session_ops

namespace termloom::session_metadata_ops {

std::string repr(const SessionMetadata& record);

}  // namespace termloom::session_metadata_ops
