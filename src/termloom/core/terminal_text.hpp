// What a program wrote to its terminal, read as text: the bytes of a pane's
// output stream (escape sequences, carriage returns, cursor movement) turned
// into the text a reader wants.
//
// Two readings. The plain reading keeps every character printed, in the
// order printed, and drops the control sequences: what `expect` and the
// waits after a mark match. The rendered reading replays the bytes on a
// grid of the pane's width that starts empty at the first column, as the
// terminal would show them, with lines the grid wraps joined again: what a
// command's output looks like. It holds only while the program stays on
// its own lines (no absolute positioning, no cursor above its first line,
// no scrolling region, no alternate screen, no whole-screen erase); the
// renderer says when it did not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "escape_reader.hpp"

namespace termloom {

// The plain reading of a stream, fed in pieces: a sequence cut between two
// pieces is read whole. Line ends arrive as "\n" (a carriage return before
// a line feed is dropped; another one stays "\r"); tabs and backspaces stay;
// other control characters and every escape sequence (CSI, OSC, DCS and
// the other strings, two-byte escapes) are dropped, and so are carriage
// returns that change nothing (at a line's start, or before a line feed).
// Bytes that are not UTF-8 become U+FFFD.
class PlainText {
public:
    // Appends the text of `bytes` to `out`.
    void feed(std::string_view bytes, std::string& out);
    // Ends the stream: a pending carriage return or a cut UTF-8 sequence.
    void finish(std::string& out);

private:
    EscapeReader reader_;
    bool carriage_return_ = false;  // read, and not yet known to end a line
};

// The plain reading of a whole piece of stream.
std::string plain_text(std::string_view bytes);

struct RenderedText {
    std::string text;
    // False when the program moved outside its own lines: `why` says how,
    // and `text` is then the plain reading, without what it wrote on the
    // alternate screen (a full-screen program's drawing).
    bool exact = true;
    std::string why;
};

// The rendered reading of `bytes` on a grid `width` columns wide whose last
// `height` rows the cursor can reach (a terminal's screen).
RenderedText rendered_text(std::string_view bytes, std::uint32_t width, std::uint32_t height);

}  // namespace termloom
