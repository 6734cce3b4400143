// Screens with their cells' colours and attributes, their picture as SVG,
// and the Cell records of Screen.cells.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "../core/error.hpp"
#include "handles.hpp"

namespace termloom::pane_ops {

// screen(styles=True): one tmux run reads the screen with its escapes, its
// cursor and size, and the pane's default colours (window-style,
// window-active-style). Screen.text is as screen(escapes) gives it.
Result<Screen> styled_screen(const Pane& pane, bool escapes);

// The styled screen's SVG picture written to `path` (created or replaced);
// the Screen pictured.
Result<Screen> screenshot(const Pane& pane, std::string path, std::optional<std::string> title);

}  // namespace termloom::pane_ops

namespace termloom::screen_ops {

// Rows of cells, one a column; nothing for a screen taken without styles.
std::optional<std::vector<std::vector<Cell>>> cells(const Screen& screen);

// The SVG document; an error for a screen taken without styles.
Result<std::string> svg(const Screen& screen, std::optional<std::string> title);

}  // namespace termloom::screen_ops

namespace termloom::cell_ops {

std::string repr(const Cell& cell);

}  // namespace termloom::cell_ops
