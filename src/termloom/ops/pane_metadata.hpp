// PaneMetadata: every pane's state in one tmux run, for one pane, a window,
// a session or the whole server.
#pragma once

#include <string>
#include <vector>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom::pane_ops {

// Fails for a pane that is gone.
Result<PaneMetadata> metadata(const Pane& pane);

}  // namespace termloom::pane_ops

// The listings give [] when tmux fails and skip a line they cannot read.
namespace termloom::window_ops {
Result<std::vector<PaneMetadata>> pane_metadata(const Window& window);
}
namespace termloom::session_ops {
Result<std::vector<PaneMetadata>> pane_metadata(const Session& session);
}
namespace termloom::server_ops {
Result<std::vector<PaneMetadata>> pane_metadata(const Server& server);
}

namespace termloom::pane_metadata_ops {

// The handle of the pane the record describes; runs nothing.
Pane pane(const PaneMetadata& record);
std::string repr(const PaneMetadata& record);

}  // namespace termloom::pane_metadata_ops
