// Text that tmux keeps in a title. tmux checks a new pane title and
// silently keeps the old one when the check fails: every byte below 0x80
// must be printable ASCII (3.1c to 3.5a), and in 3.3a every other character
// must have a width in the C library's UTF-8 tables (wcwidth): C1 controls,
// the line and paragraph separators and unassigned code points have none
// (3.1c and 3.5a store those). Titles are held to the strictest release.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace termloom {

// The first character of UTF-8 `text` that tmux would refuse, as its own
// UTF-8 text; nothing when tmux takes the whole text. The widths are those
// of the locale tmux itself uses, en_US.UTF-8 or else C.UTF-8; without
// either, only ASCII controls, C1 controls and the two separators are known.
std::optional<std::string> first_unprintable(std::string_view text);

// Character widths from the same locale's tables (wcwidth), for this thread
// while it lives: 0, 1 or 2 columns, -1 for a character the tables do not
// know or when no UTF-8 locale exists.
class CharacterWidths {
public:
    CharacterWidths();
    CharacterWidths(const CharacterWidths&) = delete;
    CharacterWidths& operator=(const CharacterWidths&) = delete;
    ~CharacterWidths();
    int operator()(char32_t code_point) const;
    // The cells it takes as a terminal counts them: 1 where the tables do not know.
    int columns(char32_t code_point) const {
        const int width = (*this)(code_point);
        return width < 0 ? 1 : width;
    }

private:
    void* previous_;  // the thread's locale before (a locale_t)
};

}  // namespace termloom
