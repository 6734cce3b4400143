// A window layout as tmux prints it ("#{window_layout}"), checked before it
// is handed back to tmux: tmux 3.3a's server dies on some layouts it cannot
// apply (a cell 4294967295 wide), ending every session.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace termloom {

// tmux's 16-bit checksum of a layout, over the text after "XXXX,".
unsigned layout_checksum(std::string_view cells);

// Why `layout` is not a layout tmux could have printed, or nothing when it
// is one: four hex digits of the checksum and a comma, then a cell. A cell
// is "WxH,X,Y" followed by ",ID" (a pane) or by its cells, two or more,
// between "{" and "}" (side by side) or "[" and "]" (one above another),
// each inside it; the outermost cell is at 0,0. Sizes are 1 to 10000,
// offsets 0 to 10000.
std::optional<std::string> layout_string_fault(std::string_view layout);

}  // namespace termloom
