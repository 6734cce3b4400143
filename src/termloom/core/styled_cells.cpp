#include "styled_cells.hpp"

#include <array>
#include <charconv>

#include "printable_text.hpp"
#include "text.hpp"

namespace termloom {
namespace {

constexpr std::array<std::string_view, 8> kBasicNames = {"black", "red",     "green", "yellow",
                                                         "blue",  "magenta", "cyan",  "white"};

constexpr char32_t kEmojiPresentation = 0xFE0F;  // VS16

bool is_regional_indicator(char32_t c) { return c >= 0x1F1E6 && c <= 0x1F1FF; }
bool is_emoji_modifier(char32_t c) { return c >= 0x1F3FB && c <= 0x1F3FF; }

std::string hex_code(char32_t c) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (int shift = c > 0xFFFFF ? 20 : c > 0xFFFF ? 16 : 12; shift >= 0; shift -= 4) {
        out += kDigits[(c >> shift) & 0xF];
    }
    return "U+" + out;
}

// The first code point of valid UTF-8 `text` at `at`, and its length.
char32_t decode_at(std::string_view text, std::size_t at, std::size_t& length) {
    const auto byte = static_cast<unsigned char>(text[at]);
    length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    if (length > text.size() - at) length = text.size() - at;
    if (length == 1) return byte;
    char32_t c = byte & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (text[at + i] & 0x3F);
    return c;
}

char32_t first_code_point(std::string_view text) {
    std::size_t length = 0;
    return text.empty() ? 0 : decode_at(text, 0, length);
}

bool ends_with_zwj(std::string_view text) { return text.ends_with("\u200D"); }

// What a VT100's special graphics set draws for the ASCII that tmux keeps in
// a cell written in it (shifted out, SO): tmux itself draws these.
std::string_view line_drawing(char c) {
    switch (c) {
        case '+': return "\u2192";
        case ',': return "\u2190";
        case '-': return "\u2191";
        case '.': return "\u2193";
        case '0': return "\u2588";
        case '`': return "\u25C6";
        case 'a': return "\u2592";
        case 'f': return "\u00B0";
        case 'g': return "\u00B1";
        case 'h': return "\u2591";
        case 'i': return "\u240B";
        case 'j': return "\u2518";
        case 'k': return "\u2510";
        case 'l': return "\u250C";
        case 'm': return "\u2514";
        case 'n': return "\u253C";
        case 'o': return "\u23BA";
        case 'p': return "\u23BB";
        case 'q': return "\u2500";
        case 'r': return "\u23BC";
        case 's': return "\u23BD";
        case 't': return "\u251C";
        case 'u': return "\u2524";
        case 'v': return "\u2534";
        case 'w': return "\u252C";
        case 'x': return "\u2502";
        case 'y': return "\u2264";
        case 'z': return "\u2265";
        case '{': return "\u03C0";
        case '|': return "\u2260";
        case '}': return "\u00A3";
        case '~': return "\u00B7";
        default: return {};
    }
}

// One parameter of an SGR sequence: its number and those after its
// colons (an empty one is 0). Fixed sizes: a capture holds thousands.
constexpr std::size_t kMaxParts = 8;
constexpr std::size_t kMaxFields = 32;

struct SgrField {
    std::array<std::uint32_t, kMaxParts> parts{};
    std::size_t count = 1;

    std::uint32_t at(std::size_t i) const { return i < count ? parts[i] : 0; }
};

struct SgrFields {
    std::array<SgrField, kMaxFields> items{};
    std::size_t count = 1;

    std::size_t size() const { return count; }
    const SgrField& operator[](std::size_t i) const { return items[i]; }
};

Result<void> sgr_fields(std::string_view params, SgrFields& fields) {
    auto unreadable = [&] {
        return runtime_error("tmux printed an SGR sequence termloom cannot read: " + quote_text(params));
    };
    for (char c : params) {
        SgrField& field = fields.items[fields.count - 1];
        if (c >= '0' && c <= '9') {
            std::uint32_t& part = field.parts[field.count - 1];
            if (part > 100000) return unreadable();
            part = part * 10 + static_cast<std::uint32_t>(c - '0');
        } else if (c == ':' && field.count < kMaxParts) {
            ++field.count;
        } else if (c == ';' && fields.count < kMaxFields) {
            ++fields.count;
        } else {
            return unreadable();
        }
    }
    return {};
}

// An extended colour (38, 48, 58) from its colon parts or from the fields
// after it; `index` moves past what it used.
Result<Colour> extended_colour(const SgrFields& fields, std::size_t& index, std::string_view params) {
    const SgrField& field = fields[index];
    std::array<std::uint32_t, kMaxParts> values{};
    std::size_t count = 0;
    if (field.count > 1) {
        for (std::size_t i = 1; i < field.count; ++i) values[count++] = field.at(i);
        // 38:2:<colour space>:R:G:B as the standard writes it; tmux writes 38:2:R:G:B.
        if (count == 5 && values[0] == 2) {
            values = {2, values[2], values[3], values[4]};
            count = 4;
        }
    } else {
        const std::uint32_t form = index + 1 < fields.size() ? fields[index + 1].at(0) : 0;
        const std::size_t wanted = form == 5 ? 2 : form == 2 ? 4 : 0;
        for (std::size_t i = 1; i <= wanted && index + i < fields.size(); ++i) {
            values[count++] = fields[index + i].at(0);
        }
        index += count;
    }
    if (count == 2 && values[0] == 5 && values[1] < 256) {
        return Colour{Colour::Kind::Indexed, values[1]};
    }
    if (count == 4 && values[0] == 2 && values[1] < 256 && values[2] < 256 && values[3] < 256) {
        return Colour{Colour::Kind::Rgb, values[1] << 16 | values[2] << 8 | values[3]};
    }
    return runtime_error("tmux printed a colour termloom cannot read: " + quote_text(params));
}

Result<void> apply_sgr(std::string_view params, CellStyle& style) {
    // tmux before 3.2 writes a bright background (SGR 100-107) as "\e[m"
    // and a change from one to another as nothing at all.
    if (params.empty()) {
        return runtime_error(
            "tmux wrote a background colour without naming it, as releases before 3.2 do for the "
            "bright backgrounds (SGR 100-107): the cells' colours cannot be known");
    }
    SgrFields fields;
    if (auto read = sgr_fields(params, fields); !read) return std::unexpected(read.error());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const SgrField& field = fields[i];
        const std::uint32_t code = field.at(0);
        auto set = [&](Attribute a, bool on) {
            style.attributes = on ? (style.attributes | a) : (style.attributes & ~a);
        };
        if (code >= 30 && code <= 37) {
            style.fg = {Colour::Kind::Basic, code - 30};
        } else if (code >= 40 && code <= 47) {
            style.bg = {Colour::Kind::Basic, code - 40};
        } else if (code >= 90 && code <= 97) {
            style.fg = {Colour::Kind::Basic, code - 90 + 8};
        } else if (code >= 100 && code <= 107) {
            style.bg = {Colour::Kind::Basic, code - 100 + 8};
        } else if (code == 38 || code == 48 || code == 58) {
            auto colour = extended_colour(fields, i, params);
            if (!colour) return std::unexpected(colour.error());
            (code == 38 ? style.fg : code == 48 ? style.bg : style.underline_colour) = *colour;
        } else {
            switch (code) {
                case 0: style = CellStyle{}; break;
                case 1: set(kBold, true); break;
                case 2: set(kDim, true); break;
                case 3: set(kItalic, true); break;
                case 4:
                    if (field.count > 1 && field.at(1) > 5) {
                        return runtime_error("tmux printed an underline style termloom does not know: " +
                                             quote_text(params));
                    }
                    style.underline = field.count > 1 ? static_cast<UnderlineStyle>(field.at(1))
                                                      : UnderlineStyle::Single;
                    break;
                // tmux writes overline, 53, as "5:3".
                case 5: set(field.count > 1 && field.at(1) == 3 ? kOverline : kBlink, true); break;
                case 6: set(kBlink, true); break;
                case 7: set(kReverse, true); break;
                case 8: set(kHidden, true); break;
                case 9: set(kStrike, true); break;
                case 21: style.underline = UnderlineStyle::Double; break;
                case 22: set(kBold, false); set(kDim, false); break;
                case 23: set(kItalic, false); break;
                case 24: style.underline = UnderlineStyle::None; break;
                case 25: set(kBlink, false); break;
                case 27: set(kReverse, false); break;
                case 28: set(kHidden, false); break;
                case 29: set(kStrike, false); break;
                case 39: style.fg = {}; break;
                case 49: style.bg = {}; break;
                case 53: set(kOverline, true); break;
                case 55: set(kOverline, false); break;
                case 59: style.underline_colour = {}; break;
                default:
                    return runtime_error("tmux printed an SGR code termloom does not know: " +
                                         quote_text(params));
            }
        }
    }
    return {};
}

// The cells of one line as they are read.
class RowBuilder {
public:
    RowBuilder(const CellRules& rules, const CharacterWidths& widths) : rules_(rules), widths_(widths) {}

    // A character of `style`; `fresh` when an escape came before it, which
    // tmux writes only before a new cell.
    Result<void> add(std::string_view bytes, char32_t c, const CellStyle& style, bool fresh) {
        const int width = widths_(c);
        StyledCell* last = fresh || cells_.empty() ? nullptr : &cells_[last_index_];
        if (last && joins(*last, c, width)) {
            last->text += bytes;
            const bool widens = rules_.emoji_sequences &&
                                (c == kEmojiPresentation || is_emoji_modifier(c));
            if (widens && last->width == 1) {
                last->width = 2;
                cells_.push_back(StyledCell{"", 0, last->style});
            }
            return {};
        }
        if (width < 0) {
            return runtime_error("cannot tell how wide tmux makes " + hex_code(c) +
                                 ": the C library's character tables do not know it");
        }
        std::uint8_t columns = width == 2 ? 2 : 1;
        if (rules_.emoji_sequences && is_regional_indicator(c)) columns = 2;
        last_index_ = cells_.size();
        cells_.push_back(StyledCell{std::string(bytes), columns, style});
        if (columns == 2) cells_.push_back(StyledCell{"", 0, style});
        return {};
    }

    std::vector<StyledCell> take() {
        last_index_ = 0;
        return std::move(cells_);
    }

private:
    bool joins(const StyledCell& last, char32_t c, int width) const {
        if (width == 0) return true;
        if (rules_.joins_after_zwj && width == 2 && ends_with_zwj(last.text)) return true;
        if (!rules_.emoji_sequences) return false;
        const char32_t base = first_code_point(last.text);
        if (is_emoji_modifier(c)) return last.width == 2 || base >= 0x80;
        return is_regional_indicator(c) && is_regional_indicator(base);
    }

    const CellRules& rules_;
    const CharacterWidths& widths_;
    std::vector<StyledCell> cells_;
    std::size_t last_index_ = 0;
};

}  // namespace

std::string colour_text(Colour colour) {
    switch (colour.kind) {
        case Colour::Kind::Default: return "default";
        case Colour::Kind::Basic:
            return std::string(colour.value >= 8 ? "bright-" : "") +
                   std::string(kBasicNames[colour.value % 8]);
        case Colour::Kind::Indexed: return "colour" + std::to_string(colour.value);
        case Colour::Kind::Rgb: {
            static constexpr char kDigits[] = "0123456789abcdef";
            std::string out = "#";
            for (int shift = 20; shift >= 0; shift -= 4) out += kDigits[(colour.value >> shift) & 0xF];
            return out;
        }
    }
    return "default";
}

std::optional<Colour> colour_from_style(std::string_view text) {
    std::string lower;
    for (char c : text) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower == "default" || lower == "terminal") return Colour{};
    auto number = [](std::string_view digits) -> std::optional<std::uint32_t> {
        auto parsed = parse_u32(digits);
        if (!parsed || digits.empty() || digits[0] == '+') return std::nullopt;
        return *parsed;
    };
    if (lower.size() == 7 && lower[0] == '#') {
        std::uint32_t value = 0;
        auto [end, failed] = std::from_chars(lower.data() + 1, lower.data() + 7, value, 16);
        if (failed == std::errc() && end == lower.data() + 7) return Colour{Colour::Kind::Rgb, value};
        return std::nullopt;
    }
    for (std::string_view prefix : {"colour", "color"}) {
        if (lower.starts_with(prefix)) {
            auto n = number(std::string_view(lower).substr(prefix.size()));
            if (n && *n < 256) return Colour{Colour::Kind::Indexed, *n};
            return std::nullopt;
        }
    }
    for (std::uint32_t i = 0; i < kBasicNames.size(); ++i) {
        if (lower == kBasicNames[i] || lower == std::to_string(i)) return Colour{Colour::Kind::Basic, i};
        if (lower == "bright" + std::string(kBasicNames[i]) ||
            lower == "bright-" + std::string(kBasicNames[i]) || lower == std::to_string(90 + i)) {
            return Colour{Colour::Kind::Basic, i + 8};
        }
    }
    return std::nullopt;
}

std::string_view underline_text(UnderlineStyle style) {
    constexpr std::array<std::string_view, 6> names = {"none",   "single", "double",
                                                       "curly",  "dotted", "dashed"};
    return names[static_cast<std::size_t>(style)];
}

CellRules cell_rules(const TmuxRelease& release) {
    return CellRules{
        .underline_colours = release.at_least(3, 3),
        .joins_after_zwj = release.at_least(3, 3),
        .emoji_sequences = release.at_least(3, 5),
    };
}

Result<ParsedCapture> parse_styled_capture(std::string_view capture, std::uint32_t width,
                                           std::uint32_t height, const CellRules& rules) {
    ParsedCapture parsed;
    parsed.screen.width = width;
    parsed.screen.height = height;
    parsed.screen.underline_colours = rules.underline_colours;
    const CharacterWidths widths;
    RowBuilder row(rules, widths);
    CellStyle style;
    bool line_drawing_set = false;  // shifted out (SO) to the special graphics
    std::string line_text;
    std::uint32_t line_number = 0;
    auto end_line = [&]() -> Result<void> {
        std::vector<StyledCell> cells = row.take();
        if (cells.size() > width) {
            return runtime_error("line " + std::to_string(line_number) + " of the screen takes " +
                                 std::to_string(cells.size()) + " columns of a pane " +
                                 std::to_string(width) +
                                 " wide: tmux measured one of its characters otherwise");
        }
        cells.resize(width);
        parsed.screen.rows.push_back(std::move(cells));
        if (line_number > 0) parsed.text += '\n';
        parsed.text += line_text;
        line_text.clear();
        ++line_number;
        return {};
    };
    if (capture.ends_with('\n')) capture.remove_suffix(1);
    bool fresh = true;
    for (std::size_t at = 0; at <= capture.size();) {
        if (at == capture.size() || capture[at] == '\n') {
            if (line_number == height) {
                return runtime_error("tmux printed more lines than the pane has (" +
                                     std::to_string(height) + ")");
            }
            if (auto ended = end_line(); !ended) return std::unexpected(ended.error());
            fresh = true;
            ++at;
            continue;
        }
        const char byte = capture[at];
        if (byte == '\x1b' && at + 1 < capture.size() && capture[at + 1] == '[') {
            const std::size_t end = capture.find('m', at + 2);
            if (end == std::string_view::npos) {
                return runtime_error("tmux printed an unfinished escape sequence");
            }
            if (auto applied = apply_sgr(capture.substr(at + 2, end - at - 2), style); !applied) {
                return std::unexpected(applied.error());
            }
            fresh = true;
            at = end + 1;
            continue;
        }
        if (byte == '\x1b' && at + 1 < capture.size() && capture[at + 1] == ']') {
            // A hyperlink (OSC 8, from 3.4), up to its BEL or ST; not drawn.
            std::size_t end = at + 2;
            while (end < capture.size() && capture[end] != '\a' &&
                   !(capture[end] == '\x1b' && end + 1 < capture.size() && capture[end + 1] == '\\')) {
                ++end;
            }
            if (end >= capture.size()) return runtime_error("tmux printed an unfinished escape sequence");
            fresh = true;
            at = end + (capture[end] == '\a' ? 1 : 2);
            continue;
        }
        if (byte == '\x0e' || byte == '\x0f') {
            line_drawing_set = byte == '\x0e';
            fresh = true;
            ++at;
            continue;
        }
        if (static_cast<unsigned char>(byte) < 0x20 || byte == '\x7f') {
            return runtime_error("tmux printed a control character in the screen: " +
                                 quote_text(capture.substr(at, 1)));
        }
        std::size_t length = 0;
        const char32_t c = decode_at(capture, at, length);
        std::string_view bytes = capture.substr(at, length);
        line_text += bytes;
        std::string_view drawn = line_drawing_set && length == 1 ? line_drawing(byte) : std::string_view();
        auto added = drawn.empty() ? row.add(bytes, c, style, fresh)
                                   : row.add(drawn, first_code_point(drawn), style, fresh);
        if (!added) return std::unexpected(added.error());
        fresh = false;
        at += length;
    }
    while (line_number < height) {
        if (auto ended = end_line(); !ended) return std::unexpected(ended.error());
    }
    parsed.text = without_trailing_blanks(parsed.text);
    return parsed;
}

Result<CellStyle> default_colours_of_style(std::string_view style) {
    CellStyle colours;
    std::size_t start = 0;
    while (start <= style.size()) {
        std::size_t end = style.find_first_of(", ", start);
        if (end == std::string_view::npos) end = style.size();
        const std::string_view token = style.substr(start, end - start);
        for (auto [prefix, colour] : {std::pair{std::string_view("fg="), &colours.fg},
                                      std::pair{std::string_view("bg="), &colours.bg}}) {
            if (!token.starts_with(prefix)) continue;
            auto found = colour_from_style(token.substr(prefix.size()));
            if (!found) {
                return runtime_error("cannot read the colour " + quote_text(token.substr(prefix.size())) +
                                     " of the pane's style " + quote_text(style));
            }
            *colour = *found;
        }
        start = end + 1;
    }
    return colours;
}

}  // namespace termloom
