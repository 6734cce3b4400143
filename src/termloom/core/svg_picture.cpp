#include "svg_picture.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "text.hpp"

namespace termloom {
namespace {

// The grid, in pixels: cells of 9x18 for a 15px font (a monospace advance
// is 0.6 em), a margin around the screen and a bar for the title.
constexpr std::uint32_t kCellWidth = 9;
constexpr std::uint32_t kLineHeight = 18;
constexpr std::uint32_t kBaseline = 13;
constexpr std::uint32_t kMargin = 8;
constexpr std::uint32_t kTitleHeight = 24;
constexpr std::uint32_t kDefaultForeground = 0xE5E5E5;  // xterm's colour 7
constexpr std::uint32_t kDefaultBackground = 0x000000;  // and colour 0
constexpr std::uint32_t kTitleBar = 0x333333;
constexpr std::string_view kFonts =
    "'DejaVu Sans Mono','Menlo','Consolas','Liberation Mono','Courier New',monospace";

constexpr std::array<std::uint32_t, 16> kXtermBasic = {
    0x000000, 0xCD0000, 0x00CD00, 0xCDCD00, 0x0000EE, 0xCD00CD, 0x00CDCD, 0xE5E5E5,
    0x7F7F7F, 0xFF0000, 0x00FF00, 0xFFFF00, 0x5C5CFF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

std::uint32_t xterm_colour(std::uint32_t index) {
    if (index < 16) return kXtermBasic[index];
    if (index < 232) {
        constexpr std::array<std::uint32_t, 6> levels = {0, 95, 135, 175, 215, 255};
        const std::uint32_t i = index - 16;
        return levels[i / 36] << 16 | levels[i / 6 % 6] << 8 | levels[i % 6];
    }
    const std::uint32_t grey = 8 + 10 * (index - 232);
    return grey << 16 | grey << 8 | grey;
}

std::string hex(std::uint32_t rgb) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "#";
    for (int shift = 20; shift >= 0; shift -= 4) out += kDigits[(rgb >> shift) & 0xF];
    return out;
}

std::uint32_t mix(std::uint32_t a, std::uint32_t b) {
    std::uint32_t out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        out |= ((((a >> shift) & 0xFF) + ((b >> shift) & 0xFF)) / 2) << shift;
    }
    return out;
}

void escape_into(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
}

void json_string_into(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string number(std::uint32_t n) { return std::to_string(n); }

// Appends each part: no temporaries of "text" + std::string.
template <class... Parts>
void put(std::string& out, const Parts&... parts) {
    (out += ... += parts);
}

// A cell as drawn: its colours after reverse and dim are applied.
struct Ink {
    std::uint32_t fg = 0;
    std::uint32_t bg = 0;
    std::uint32_t line = 0;  // of the underline
};

Ink ink_of(const CellStyle& style, std::uint32_t default_fg, std::uint32_t default_bg) {
    Ink ink{colour_rgb(style.fg, default_fg), colour_rgb(style.bg, default_bg), 0};
    if (style.has(kReverse)) std::swap(ink.fg, ink.bg);
    if (style.has(kDim)) ink.fg = mix(ink.fg, ink.bg);
    ink.line = style.underline_colour.kind == Colour::Kind::Default
                   ? ink.fg
                   : colour_rgb(style.underline_colour, ink.fg);
    return ink;
}

bool is_single_bmp_character(std::string_view text) {
    if (text.empty()) return false;
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return length == text.size() && length < 4;
}

// What an SVG's shapes are grouped by, in the order they first appear.
template <class Key>
struct Groups {
    std::vector<Key> keys;
    std::vector<std::string> bodies;

    std::size_t index(const Key& key) {
        auto found = std::find(keys.begin(), keys.end(), key);
        if (found != keys.end()) return static_cast<std::size_t>(found - keys.begin());
        keys.push_back(key);
        bodies.emplace_back();
        return keys.size() - 1;
    }
    std::string& of(const Key& key) { return bodies[index(key)]; }
};

struct TextClass {
    std::uint32_t fg;
    bool bold;
    bool italic;
    bool operator==(const TextClass&) const = default;
};

// A line drawn along cells: an underline of one style, a strike-through
// or an overline, in one colour.
struct Decoration {
    char kind;  // '1'..'5': the underline styles; 's' strike-through; 'o' overline
    std::uint32_t colour;
    bool operator==(const Decoration&) const = default;
};

void decoration_path(std::string& d, char kind, std::uint32_t x, std::uint32_t top,
                     std::uint32_t cells) {
    std::string start = "M", length = "h";
    put(start, number(x), " ");
    put(length, number(cells * kCellWidth));
    switch (kind) {
        case '2':
            d += start + number(top + 15) + ".5" + length + start + number(top + 17) + ".5" + length;
            break;
        case '3':
            d += start + number(top + 16) + "q2.25 -2 4.5 0t4.5 0";
            for (std::uint32_t i = 1; i < cells; ++i) d += "t4.5 0t4.5 0";
            break;
        case 's': d += start + number(top + 9) + ".5" + length; break;
        case 'o': d += start + number(top) + ".5" + length; break;
        default: d += start + number(top + 16) + ".5" + length; break;
    }
}

struct Rect {
    std::uint32_t x, y, width, height, colour;
};

class Picture {
public:
    Picture(const StyledScreen& screen, PictureCursor cursor, const std::optional<std::string>& title)
        : screen_(screen),
          cursor_(cursor),
          title_(title),
          fg_(colour_rgb(screen.foreground, kDefaultForeground)),
          bg_(colour_rgb(screen.background, kDefaultBackground)) {}

    std::string draw() {
        for (std::uint32_t y = 0; y < screen_.rows.size(); ++y) draw_row(y);
        const std::uint32_t top = kMargin + (title_ ? kTitleHeight : 0);
        const std::uint32_t width = 2 * kMargin + screen_.width * kCellWidth;
        const std::uint32_t height = top + screen_.height * kLineHeight + kMargin;
        std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + number(width) +
               "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(width) + " " +
               number(height) + "\">\n";
        if (title_) {
            out += "<title>";
            escape_into(out, *title_);
            out += "</title>\n";
        }
        out += "<metadata id=\"termloom-screen\">";
        escape_into(out, screen_record(screen_, cursor_));
        out += "</metadata>\n<style type=\"text/css\">text{font-family:";
        out += kFonts;
        out += ";font-size:15px}";
        for (std::size_t i = 0; i < classes_.keys.size(); ++i) {
            const TextClass& c = classes_.keys[i];
            out += ".c" + number(static_cast<std::uint32_t>(i)) + "{fill:" + hex(c.fg);
            if (c.bold) out += ";font-weight:bold";
            if (c.italic) out += ";font-style:italic";
            out += "}";
        }
        out += "</style>\n";
        out += "<rect width=\"" + number(width) + "\" height=\"" + number(height) + "\" fill=\"" +
               hex(bg_) + "\"/>\n";
        if (title_) {
            out += "<rect width=\"" + number(width) + "\" height=\"" + number(kTitleHeight) +
                   "\" fill=\"" + hex(kTitleBar) + "\"/>\n<text x=\"" + number(width / 2) +
                   "\" y=\"17\" text-anchor=\"middle\" fill=\"" + hex(kDefaultForeground) +
                   "\" xml:space=\"preserve\">";
            escape_into(out, *title_);
            out += "</text>\n";
        }
        out += "<g transform=\"translate(" + number(kMargin) + " " + number(top) + ")\">\n";
        // The backgrounds of one colour are one path of rectangles.
        Groups<std::uint32_t> fills;
        for (const Rect& r : rects_) {
            put(fills.of(r.colour), "M", number(r.x), " ", number(r.y), "h", number(r.width), "v",
                number(r.height), "h-", number(r.width), "z");
        }
        for (std::size_t i = 0; i < fills.keys.size(); ++i) {
            put(out, "<path fill=\"", hex(fills.keys[i]), "\" d=\"", fills.bodies[i], "\"/>\n");
        }
        out += "<g xml:space=\"preserve\">\n" + texts_ + "</g>\n";
        for (std::size_t i = 0; i < lines_.keys.size(); ++i) {
            const Decoration& line = lines_.keys[i];
            out += "<path d=\"" + lines_.bodies[i] + "\" fill=\"none\" stroke=\"" + hex(line.colour) +
                   "\"";
            if (line.kind == '4') out += " stroke-dasharray=\"1 1\"";
            if (line.kind == '5') out += " stroke-dasharray=\"3 2\"";
            out += "/>\n";
        }
        draw_cursor(out);
        out += "</g>\n</svg>\n";
        return out;
    }

private:
    void draw_cursor(std::string& out) const {
        if (!screen_.cursor_visible || cursor_.y >= screen_.rows.size() ||
            cursor_.x >= screen_.width) {
            return;
        }
        const std::uint32_t cells = screen_.rows[cursor_.y][cursor_.x].width == 2 ? 2 : 1;
        out += "<rect x=\"" + number(cursor_.x * kCellWidth) + ".5\" y=\"" +
               number(cursor_.y * kLineHeight) + ".5\" width=\"" + number(cells * kCellWidth - 1) +
               "\" height=\"" + number(kLineHeight - 1) + "\" fill=\"none\" stroke=\"" + hex(fg_) +
               "\"/>\n";
    }

    void draw_row(std::uint32_t y) {
        const std::vector<StyledCell>& row = screen_.rows[y];
        const std::uint32_t top = y * kLineHeight;
        std::vector<Ink> inks;
        inks.reserve(row.size());
        for (const StyledCell& cell : row) inks.push_back(ink_of(cell.style, fg_, bg_));
        backgrounds(y, inks);
        // A run of single characters of one class; blanks inside it are kept.
        struct Run {
            std::uint32_t start = 0, cells = 0;
            std::size_t cls = 0;
            std::string text, blanks;
        } run;
        bool open = false;
        auto close = [&] {
            if (!open) return;
            text_element(run.start, top, run.cls, run.text, run.cells, run.cells > 1);
            open = false;
        };
        for (std::uint32_t x = 0; x < row.size(); ++x) {
            const StyledCell& cell = row[x];
            if (cell.width == 0) continue;
            const bool hidden = cell.style.has(kHidden);
            if (cell.text == " " || cell.text.empty() || hidden) {
                if (open) run.blanks += ' ';
                continue;
            }
            const std::size_t index = classes_.index(
                TextClass{inks[x].fg, cell.style.has(kBold), cell.style.has(kItalic)});
            if (cell.width == 1 && is_single_bmp_character(cell.text)) {
                if (open && run.cls == index) {
                    run.text += run.blanks + cell.text;
                    run.cells = x - run.start + 1;
                    run.blanks.clear();
                    continue;
                }
                close();
                run = Run{x, 1, index, cell.text, {}};
                open = true;
                continue;
            }
            close();
            text_element(x, top, index, cell.text, cell.width, true, "spacingAndGlyphs");
        }
        close();
        decorations(row, inks, top);
    }

    // A text stretched over `cells` columns when `fitted`: spacing between
    // its characters (SVG's default), or its glyphs too for a single one.
    void text_element(std::uint32_t x, std::uint32_t top, std::size_t cls, std::string_view text,
                      std::uint32_t cells, bool fitted, std::string_view adjust = {}) {
        put(texts_, "<text x=\"", number(x * kCellWidth), "\" y=\"", number(top + kBaseline),
            "\" class=\"c", number(static_cast<std::uint32_t>(cls)), "\"");
        if (fitted) put(texts_, " textLength=\"", number(cells * kCellWidth), "\"");
        if (!adjust.empty()) put(texts_, " lengthAdjust=\"", adjust, "\"");
        texts_ += ">";
        escape_into(texts_, text);
        texts_ += "</text>\n";
    }

    // Runs of one background colour, each joined to the same run of the row
    // above when there is one.
    void backgrounds(std::uint32_t y, const std::vector<Ink>& inks) {
        std::vector<std::size_t> open;
        for (std::uint32_t x = 0; x < inks.size();) {
            std::uint32_t end = x + 1;
            while (end < inks.size() && inks[end].bg == inks[x].bg) ++end;
            if (inks[x].bg != bg_) {
                const Rect wanted{x * kCellWidth, y * kLineHeight, (end - x) * kCellWidth, kLineHeight,
                                  inks[x].bg};
                bool joined = false;
                for (std::size_t i : open_above_) {
                    Rect& r = rects_[i];
                    if (r.x == wanted.x && r.width == wanted.width && r.colour == wanted.colour) {
                        r.height += kLineHeight;
                        open.push_back(i);
                        joined = true;
                        break;
                    }
                }
                if (!joined) {
                    open.push_back(rects_.size());
                    rects_.push_back(wanted);
                }
            }
            x = end;
        }
        open_above_ = std::move(open);
    }

    void decorations(const std::vector<StyledCell>& row, const std::vector<Ink>& inks,
                     std::uint32_t top) {
        auto kinds_of = [](const CellStyle& s) {
            std::string kinds;
            if (s.has(kHidden)) return kinds;
            if (s.underline != UnderlineStyle::None) {
                kinds += static_cast<char>('0' + static_cast<int>(s.underline));
            }
            if (s.has(kStrike)) kinds += 's';
            if (s.has(kOverline)) kinds += 'o';
            return kinds;
        };
        for (char kind : std::string_view("12345so")) {
            for (std::uint32_t x = 0; x < row.size();) {
                auto colour_at = [&](std::uint32_t at) {
                    return kind >= '1' && kind <= '5' ? inks[at].line : inks[at].fg;
                };
                if (kinds_of(row[x].style).find(kind) == std::string::npos) {
                    ++x;
                    continue;
                }
                std::uint32_t end = x + 1;
                while (end < row.size() && kinds_of(row[end].style).find(kind) != std::string::npos &&
                       colour_at(end) == colour_at(x)) {
                    ++end;
                }
                decoration_path(lines_.of(Decoration{kind, colour_at(x)}), kind, x * kCellWidth, top,
                                end - x);
                x = end;
            }
        }
    }

    const StyledScreen& screen_;
    PictureCursor cursor_;
    const std::optional<std::string>& title_;
    std::uint32_t fg_, bg_;
    Groups<TextClass> classes_;
    Groups<Decoration> lines_;
    std::vector<Rect> rects_;
    std::vector<std::size_t> open_above_;
    std::string texts_;
};

}  // namespace

std::uint32_t colour_rgb(Colour colour, std::uint32_t fallback) {
    switch (colour.kind) {
        case Colour::Kind::Default: return fallback;
        case Colour::Kind::Basic:
        case Colour::Kind::Indexed: return xterm_colour(colour.value);
        case Colour::Kind::Rgb: return colour.value;
    }
    return fallback;
}

Result<void> check_title(std::string_view title) {
    for (std::size_t at = 0; at < title.size(); ++at) {
        const auto byte = static_cast<unsigned char>(title[at]);
        const bool c1 = byte == 0xC2 && at + 1 < title.size() &&
                        static_cast<unsigned char>(title[at + 1]) < 0xA0;
        const bool non_character = byte == 0xEF && at + 2 < title.size() &&
                                   static_cast<unsigned char>(title[at + 1]) == 0xBF &&
                                   static_cast<unsigned char>(title[at + 2]) >= 0xBE;
        if (byte < 0x20 || byte == 0x7F || c1 || non_character) {
            return value_error("title: " + quote_text(title.substr(at, c1 ? 2 : non_character ? 3 : 1)) +
                               " cannot be written in an SVG document");
        }
    }
    return {};
}

std::string svg_picture(const StyledScreen& screen, PictureCursor cursor,
                        const std::optional<std::string>& title) {
    return Picture(screen, cursor, title).draw();
}

std::string screen_record(const StyledScreen& screen, PictureCursor cursor) {
    std::vector<CellStyle> styles = {CellStyle{}};
    auto style_index = [&](const CellStyle& style) {
        auto found = std::find(styles.begin(), styles.end(), style);
        if (found == styles.end()) found = styles.insert(styles.end(), style);
        return static_cast<std::uint32_t>(found - styles.begin());
    };
    std::string rows;
    for (std::size_t y = 0; y < screen.rows.size(); ++y) {
        const std::vector<StyledCell>& row = screen.rows[y];
        std::size_t end = row.size();
        while (end > 0 && row[end - 1].text == " " && row[end - 1].style == CellStyle{}) --end;
        rows += y == 0 ? "\n[" : ",\n[";
        for (std::size_t x = 0; x < end;) {
            const std::uint32_t index = style_index(row[x].style);
            std::string text;
            std::size_t next = x;
            while (next < end && row[next].style == row[x].style) text += row[next++].text;
            if (x > 0) rows += ',';
            rows += '[';
            json_string_into(rows, text);
            put(rows, ",", number(index), ",", number(static_cast<std::uint32_t>(next - x)), "]");
            x = next;
        }
        rows += ']';
    }
    std::string out = "{\"termloom-screen\":1,\"width\":" + number(screen.width) +
                      ",\"height\":" + number(screen.height) + ",\"cursor\":{\"x\":" +
                      number(cursor.x) + ",\"y\":" + number(cursor.y) + ",\"visible\":" +
                      (screen.cursor_visible ? "true" : "false") + "},\"foreground\":\"" +
                      colour_text(screen.foreground) + "\",\"background\":\"" +
                      colour_text(screen.background) + "\",\"underline-colours\":" +
                      (screen.underline_colours ? "true" : "false") + ",\n\"styles\":[";
    for (std::size_t i = 0; i < styles.size(); ++i) {
        const CellStyle& s = styles[i];
        out += i == 0 ? "\n" : ",\n";
        // Only what differs from a blank cell's style: style 0 is {}.
        std::string fields;
        auto field = [&](std::string_view name, std::string_view value) {
            put(fields, fields.empty() ? "\"" : ",\"", name, "\":\"", value, "\"");
        };
        if (s.fg != Colour{}) field("fg", colour_text(s.fg));
        if (s.bg != Colour{}) field("bg", colour_text(s.bg));
        if (s.underline != UnderlineStyle::None) field("underline", underline_text(s.underline));
        if (s.underline_colour != Colour{}) field("underline-colour", colour_text(s.underline_colour));
        std::string attributes;
        constexpr std::array<std::pair<Attribute, std::string_view>, 8> names = {{
            {kBold, "bold"}, {kDim, "dim"}, {kItalic, "italic"}, {kBlink, "blink"},
            {kReverse, "reverse"}, {kHidden, "hidden"}, {kStrike, "strike"}, {kOverline, "overline"},
        }};
        for (auto [attribute, name] : names) {
            if (s.has(attribute)) put(attributes, attributes.empty() ? "\"" : ",\"", name, "\"");
        }
        if (!attributes.empty()) put(fields, fields.empty() ? "" : ",", "\"attributes\":[", attributes, "]");
        put(out, "{", fields, "}");
    }
    out += "],\n\"rows\":[" + rows + "]}";
    return out;
}

}  // namespace termloom
