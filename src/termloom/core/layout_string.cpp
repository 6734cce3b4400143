#include "layout_string.hpp"

#include <cstdint>

namespace termloom {
namespace {

// tmux's largest window; a pane's id is any unsigned number.
constexpr std::uint64_t kLargestSize = 10000;
constexpr std::uint64_t kLargestId = UINT32_MAX;
// Nesting deeper than this is no layout of a real window (and would only
// use up the stack).
constexpr int kDeepestNesting = 100;

struct Box {
    std::uint64_t width, height, x, y;
};

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<std::string> fault() {
        if (!cell(nullptr, 0)) return fault_;
        if (at_ != text_.size()) return "unexpected " + rest();
        return std::nullopt;
    }

private:
    bool fail(std::string reason) {
        if (fault_.empty()) fault_ = std::move(reason);
        return false;
    }
    // Where the parse stopped: the next few characters, or "end".
    std::string rest() const {
        if (at_ >= text_.size()) return "end";
        std::string out(1, '"');
        out.append(text_.substr(at_, 16));
        out += '"';
        return out;
    }
    bool take(char c) {
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    bool expect(char c, std::string_view what) {
        return take(c) || fail(std::string(what) + " expected at " + rest());
    }
    bool number(std::uint64_t largest, std::string_view what, std::uint64_t& out) {
        const std::size_t start = at_;
        out = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            out = out * 10 + static_cast<std::uint64_t>(text_[at_++] - '0');
            if (out > largest) return fail(std::string(what) + " above " + std::to_string(largest));
        }
        return at_ > start || fail(std::string(what) + " expected at " + rest());
    }

    bool cell(const Box* parent, int depth) {
        if (depth > kDeepestNesting) return fail("cells nested too deep");
        Box box{};
        if (!number(kLargestSize, "width", box.width) || !expect('x', "\"x\"") ||
            !number(kLargestSize, "height", box.height) || !expect(',', "\",\"") ||
            !number(kLargestSize, "x offset", box.x) || !expect(',', "\",\"") ||
            !number(kLargestSize, "y offset", box.y)) {
            return false;
        }
        if (box.width == 0 || box.height == 0) return fail("a cell of size 0");
        if (!parent && (box.x != 0 || box.y != 0)) return fail("the window's cell not at 0,0");
        if (parent && (box.x < parent->x || box.y < parent->y ||
                       box.x + box.width > parent->x + parent->width ||
                       box.y + box.height > parent->y + parent->height)) {
            return fail("a cell outside the cell that holds it");
        }
        std::uint64_t id = 0;
        if (take(',')) return number(kLargestId, "pane id", id);
        char close = 0;
        if (take('{')) {
            close = '}';
        } else if (take('[')) {
            close = ']';
        } else {
            return fail("\",\" and a pane id, \"{\" or \"[\" expected at " + rest());
        }
        int cells = 0;
        do {
            if (!cell(&box, depth + 1)) return false;
            ++cells;
        } while (take(','));
        if (cells < 2) return fail("a split with one cell");
        return expect(close, std::string("\"") + close + "\"");
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::string fault_;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

unsigned layout_checksum(std::string_view cells) {
    std::uint16_t sum = 0;
    for (char c : cells) {
        sum = static_cast<std::uint16_t>((sum >> 1) + ((sum & 1) << 15));
        sum = static_cast<std::uint16_t>(sum + static_cast<unsigned char>(c));
    }
    return sum;
}

std::optional<std::string> layout_string_fault(std::string_view layout) {
    unsigned written = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const int digit = i < layout.size() ? hex_digit(layout[i]) : -1;
        if (digit < 0) return "no checksum (four hex digits) at the start";
        written = written * 16 + static_cast<unsigned>(digit);
    }
    if (layout.size() < 5 || layout[4] != ',') return "\",\" expected after the checksum";
    const std::string_view cells = layout.substr(5);
    if (layout_checksum(cells) != written) return "wrong checksum";
    return Parser(cells).fault();
}

}  // namespace termloom
