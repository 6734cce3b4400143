// A styled screen drawn as an SVG 1.1 document: a fixed grid of cells in a
// monospace font, each cell's colours and attributes, the cursor, and the
// cells themselves as JSON in <metadata id="termloom-screen">, so that a
// reader can compare screens without looking at the drawing.
//
// The same screen gives the same bytes. Colours are xterm's: its 16 basic
// colours, the 6x6x6 cube and the 24 greys; "default" is the pane's own
// colour from its window-style, else xterm's colour 7 on colour 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "styled_cells.hpp"

namespace termloom {

struct PictureCursor {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
};

// The colour as #rrggbb, with `fallback` (0xRRGGBB) for the default.
std::uint32_t colour_rgb(Colour colour, std::uint32_t fallback);

// A ValueError for a title that XML cannot hold (control characters,
// U+FFFE, U+FFFF); the title must be valid UTF-8.
Result<void> check_title(std::string_view title);

std::string svg_picture(const StyledScreen& screen, PictureCursor cursor,
                        const std::optional<std::string>& title);

// The cells as JSON, as the picture's metadata holds them: the size, the
// cursor, the default colours, whether the release reports underline
// colours, the distinct styles (each only what differs from a blank cell's:
// "fg", "bg", "underline", "underline-colour", "attributes"; style 0 is the
// blank cell's, {}) and, for each row, runs of cells of one style as
// [text, style index, columns], without the blank cells that end it.
std::string screen_record(const StyledScreen& screen, PictureCursor cursor);

}  // namespace termloom
