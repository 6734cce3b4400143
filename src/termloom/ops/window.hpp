// What a Window handle does: kill, select, rename, cycle, list its panes and
// report its metadata. Queries pick the window with a filter on its session's
// exact name and its index; actions look it up that way and name it by id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom::window_ops {

// Listings and the query of next/previous print a window per line this way.
inline constexpr std::string_view kListFormat = "#{window_index}|#{window_name}";

// The window a listing line describes; none when the line is unusable. The
// name is the rest of the line, whatever it holds.
std::optional<Window> from_listing(std::string_view line, const std::string& session_name,
                                   const SocketPath& socket);

Result<Window> make(std::string session_name, std::uint32_t index, SocketPath socket,
                    std::string name);

Result<bool> kill(const Window& window);
Result<bool> select(const Window& window);
Result<void> rename(Window& window, std::string new_name);
Result<std::vector<Pane>> panes(const Window& window);
Result<std::optional<Window>> next(const Window& window);
Result<std::optional<Window>> previous(const Window& window);
Result<WindowMetadata> metadata(const Window& window);
std::string repr(const Window& window);

// Its size in cells, kept when clients come and go; one of tmux's layouts.
Result<bool> resize(const Window& window, std::uint32_t width, std::uint32_t height);
Result<bool> select_layout(const Window& window, std::string layout);

}  // namespace termloom::window_ops

namespace termloom::window_metadata_ops {

std::string repr(const WindowMetadata& record);

}  // namespace termloom::window_metadata_ops
