// A pane's screen as a grid of cells with their colours and attributes,
// read from what `capture-pane -p -e -N` prints.
//
// tmux writes a cell's style as the SGR changes from the cell before it, the
// state carrying over from one line to the next, and each cell's characters
// once: a wide character's second column is not printed, and characters of
// width 0 belong to the cell before them. Which characters tmux joins into
// one cell, and how wide it makes it, differs between releases; the rules
// below are those seen on 3.1c, 3.3a and 3.5a (3.2 is taken to behave as
// 3.1c, 3.4 as 3.3a).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "tmux_release.hpp"

namespace termloom {

struct Colour {
    enum class Kind : std::uint8_t {
        Default,  // the terminal's (or the pane's) own colour
        Basic,    // 0-7 from SGR 30-37/40-47, 8-15 from SGR 90-97/100-107
        Indexed,  // 0-255 from SGR 38;5;N (and 48, 58)
        Rgb,      // 0xRRGGBB from SGR 38;2;R;G;B
    };
    Kind kind = Kind::Default;
    std::uint32_t value = 0;

    bool operator==(const Colour&) const = default;
};

// "default"; "black" ... "white" and "bright-black" ... "bright-white" for
// the 16 basic colours; "colour0" ... "colour255" (tmux's spelling) for the
// 256 of SGR 38;5; "#rrggbb" for 24-bit colours.
std::string colour_text(Colour colour);

// The colour as a style option writes it (fg=... in window-style): the forms
// above, tmux's "brightred", "color5", "0" ... "7" and "90" ... "97",
// "terminal", any case. Nothing for a name tmux knows and this does not
// (the X11 colour names).
std::optional<Colour> colour_from_style(std::string_view text);

enum class UnderlineStyle : std::uint8_t { None, Single, Double, Curly, Dotted, Dashed };

// "none", "single", "double", "curly", "dotted", "dashed".
std::string_view underline_text(UnderlineStyle style);

// The attributes besides colours and underline, one bit each.
enum Attribute : std::uint16_t {
    kBold = 1,
    kDim = 2,
    kItalic = 4,
    kBlink = 8,
    kReverse = 16,
    kHidden = 32,
    kStrike = 64,
    kOverline = 128,
};

struct CellStyle {
    Colour fg, bg;
    Colour underline_colour;
    UnderlineStyle underline = UnderlineStyle::None;
    std::uint16_t attributes = 0;

    bool has(Attribute a) const { return (attributes & a) != 0; }
    bool operator==(const CellStyle&) const = default;
};

struct StyledCell {
    std::string text = " ";  // the characters; "" in the second column of a wide cell
    std::uint8_t width = 1;  // 1, 2 for a wide cell, 0 for its second column
    CellStyle style;
};

struct StyledScreen {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::vector<StyledCell>> rows;  // `height` rows of `width` cells
    Colour foreground, background;  // the pane's own default colours (window-style)
    bool cursor_visible = true;
    bool underline_colours = true;  // false: the release does not report them
};

// How a release prints and groups cells.
struct CellRules {
    bool underline_colours = true;   // SGR 58 is printed (from 3.3)
    bool joins_after_zwj = true;     // a wide character after U+200D joins its cell (from 3.3)
    bool emoji_sequences = true;     // VS16 widens, modifiers and flag pairs join (from 3.5)
};

CellRules cell_rules(const TmuxRelease& release);

struct ParsedCapture {
    StyledScreen screen;  // width, height and rows set
    std::string text;     // the lines without escapes, as capture-pane without -e prints them
};

// The cells of a capture of `height` lines of a `width`-column pane. An
// error when the capture holds what the rules cannot place for sure: a
// character whose width the C library does not know, a background colour
// that tmux printed without naming it (3.1c's bright backgrounds), a line
// wider than the pane.
Result<ParsedCapture> parse_styled_capture(std::string_view capture, std::uint32_t width,
                                           std::uint32_t height, const CellRules& rules);

// The fg= and bg= of a style option's value; default where it has none.
// An error names a colour it cannot read.
Result<CellStyle> default_colours_of_style(std::string_view style);

}  // namespace termloom
