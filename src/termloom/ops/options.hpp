// Options and environment: set-option/show-options at the level of each
// class (global for a Server, then session, window and pane), and the
// global and session environment.
#pragma once

#include <optional>
#include <string>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom::server_ops {
Result<bool> set_option(const Server& server, std::string name, std::string value);
Result<std::optional<std::string>> show_option(const Server& server, std::string name);
Result<bool> set_environment(const Server& server, std::string name, std::string value);
Result<std::optional<std::string>> show_environment(const Server& server, std::string name);
}  // namespace termloom::server_ops

namespace termloom::session_ops {
Result<bool> set_option(const Session& session, std::string name, std::string value);
Result<std::optional<std::string>> show_option(const Session& session, std::string name);
Result<bool> set_environment(const Session& session, std::string name, std::string value);
Result<std::optional<std::string>> show_environment(const Session& session, std::string name);
}  // namespace termloom::session_ops

namespace termloom::window_ops {
Result<bool> set_option(const Window& window, std::string name, std::string value);
Result<std::optional<std::string>> show_option(const Window& window, std::string name);
}  // namespace termloom::window_ops

namespace termloom::pane_ops {
Result<bool> set_option(const Pane& pane, std::string name, std::string value);
Result<std::optional<std::string>> show_option(const Pane& pane, std::string name);
}  // namespace termloom::pane_ops
