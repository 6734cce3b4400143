// What a Session handle does: kill, rename, list its windows, report its
// metadata.
#pragma once

#include <string>
#include <vector>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom::session_ops {

Session make(std::string name, SocketPath socket);

Result<bool> kill(const Session& session);
Result<void> rename(Session& session, std::string new_name);
Result<SessionMetadata> metadata(const Session& session);
Result<std::vector<Window>> windows(const Session& session);
std::string repr(const Session& session);

}  // namespace termloom::session_ops

namespace termloom::session_metadata_ops {

std::string repr(const SessionMetadata& record);

}  // namespace termloom::session_metadata_ops
