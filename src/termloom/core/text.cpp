#include "text.hpp"

#include <cstring>

#include "unicode_tables.hpp"

namespace termloom {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

inline unsigned char byte_at(std::string_view s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

inline bool in_range(unsigned char b, unsigned char lo, unsigned char hi) {
    return b >= lo && b <= hi;
}

// Length of the well-formed sequence starting at `i` (1..4), or 0 when the
// bytes there are ill-formed; then `subpart` is the length of the maximal
// ill-formed subpart to replace (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& subpart) {
    const unsigned char lead = byte_at(s, i);
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (lead < 0x80) return 1;
    if (lead < 0xC2) {
        need = 0;  // continuation byte or overlong C0/C1 lead
    } else if (lead < 0xE0) {
        need = 2;
    } else if (lead < 0xF0) {
        need = 3;
        if (lead == 0xE0) lo = 0xA0;       // no overlongs
        else if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead < 0xF5) {
        need = 4;
        if (lead == 0xF0) lo = 0x90;       // no overlongs
        else if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        need = 0;
    }
    subpart = 1;
    if (need == 0) return 0;
    const std::size_t avail = s.size() - i;
    if (avail < 2 || !in_range(byte_at(s, i + 1), lo, hi)) return 0;
    for (std::size_t k = 2; k < need; ++k) {
        subpart = k;
        if (avail <= k || !in_range(byte_at(s, i + k), 0x80, 0xBF)) return 0;
    }
    return need;
}

// Index of the first non-ASCII byte at or after `i`, testing whole words.
std::size_t skip_ascii(std::string_view s, std::size_t i) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    while (s.size() - i >= 32) {
        std::uint64_t w[4];
        std::memcpy(w, s.data() + i, 32);
        if ((w[0] | w[1] | w[2] | w[3]) & kHighBits) break;
        i += 32;
    }
    while (s.size() - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        if (word & kHighBits) break;
        i += 8;
    }
    while (i < s.size() && byte_at(s, i) < 0x80) ++i;
    return i;
}

// Decodes one code point of text assumed valid; `len` gets its byte count.
// A byte that starts no well-formed sequence yields U+FFFD with length 1.
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
    std::size_t subpart;
    len = sequence_length(s, i, subpart);
    const unsigned char lead = byte_at(s, i);
    switch (len) {
        case 1:
            return lead;
        case 2:
            return (char32_t(lead & 0x1F) << 6) | (byte_at(s, i + 1) & 0x3F);
        case 3:
            return (char32_t(lead & 0x0F) << 12) | (char32_t(byte_at(s, i + 1) & 0x3F) << 6) |
                   (byte_at(s, i + 2) & 0x3F);
        case 4:
            return (char32_t(lead & 0x07) << 18) | (char32_t(byte_at(s, i + 1) & 0x3F) << 12) |
                   (char32_t(byte_at(s, i + 2) & 0x3F) << 6) | (byte_at(s, i + 3) & 0x3F);
        default:
            len = 1;
            return 0xFFFD;
    }
}

bool is_white_space(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    switch (c) {
        case 0x0085: case 0x00A0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// Byte count of the white-space character ending at `end`, or 0 if the
// character there is not white space.
std::size_t white_space_before(std::string_view s, std::size_t end) {
    if (byte_at(s, end - 1) < 0x80) return is_white_space(byte_at(s, end - 1)) ? 1 : 0;
    // White space outside ASCII takes two or three bytes.
    std::size_t start = end - 1;
    while (start > 0 && end - start < 3 && (byte_at(s, start) & 0xC0) == 0x80) --start;
    std::size_t len;
    const char32_t c = decode_at(s, start, len);
    return start + len == end && is_white_space(c) ? len : 0;
}

void append_hex(std::string& out, char32_t c) {
    constexpr char kDigits[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kDigits[c & 0xF];
        c >>= 4;
    } while (c != 0);
    while (n > 0) out += buf[--n];
}

}  // namespace

std::string decode_lossy(std::string bytes) {
    std::string out;
    std::size_t run = 0;  // start of the pending well-formed run
    std::size_t i = 0;
    while (true) {
        i = skip_ascii(bytes, i);
        if (i == bytes.size()) break;
        std::size_t subpart;
        if (const std::size_t len = sequence_length(bytes, i, subpart)) {
            i += len;
            continue;
        }
        if (run == 0) out.reserve(bytes.size() + 16);
        out.append(bytes.data() + run, i - run);
        out += kReplacement;
        i += subpart;
        run = i;
    }
    if (run == 0) return bytes;  // all valid
    out.append(bytes.data() + run, i - run);
    return out;
}

std::string_view trim_start(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t len;
        if (!is_white_space(decode_at(text, i, len))) break;
        i += len;
    }
    return text.substr(i);
}

std::string_view trim(std::string_view text) {
    text = trim_start(text);
    std::size_t end = text.size();
    while (end > 0) {
        const std::size_t len = white_space_before(text, end);
        if (len == 0) break;
        end -= len;
    }
    return text.substr(0, end);
}

std::string_view without_line_end(std::string_view text) {
    if (!text.ends_with('\n')) return text;
    text.remove_suffix(1);
    if (text.ends_with('\r')) text.remove_suffix(1);
    return text;
}

std::string without_trailing_spaces(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t spaces = 0;  // held back until something other than a line end follows
    for (char c : text) {
        if (c == ' ') {
            ++spaces;
            continue;
        }
        if (c != '\n' && c != '\r') out.append(spaces, ' ');
        spaces = 0;
        out.push_back(c);
    }
    return out;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back(text.substr(start));  // a lone final "\r" stays
            break;
        }
        std::size_t end = nl;
        if (end > start && text[end - 1] == '\r') --end;
        lines.push_back(text.substr(start, end - start));
        start = nl + 1;
    }
    return lines;
}

std::vector<std::string_view> split_fields(std::string_view text, char separator) {
    return split_fields(text, separator, SIZE_MAX);
}

std::vector<std::string_view> split_fields(std::string_view text, char separator,
                                           std::size_t max_fields) {
    std::vector<std::string_view> fields;
    if (max_fields == 0) return fields;
    std::size_t start = 0;
    while (fields.size() + 1 < max_fields) {
        const std::size_t pos = text.find(separator, start);
        if (pos == std::string_view::npos) break;
        fields.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::vector<std::string_view> split_record(std::string_view text, char separator,
                                           std::size_t count, std::size_t free_index) {
    if (free_index + 1 >= count) return split_fields(text, separator, count);
    // The fields after the free one, cut from the right end.
    std::vector<std::string_view> tail;
    std::size_t end = text.size();
    while (tail.size() + free_index + 1 < count && end > 0) {
        const std::size_t pos = text.rfind(separator, end - 1);
        if (pos == std::string_view::npos) break;
        tail.push_back(text.substr(pos + 1, end - pos - 1));
        end = pos;
    }
    std::vector<std::string_view> fields =
        split_fields(text.substr(0, end), separator, free_index + 1);
    if (tail.size() + free_index + 1 < count || fields.size() < free_index + 1) {
        return split_fields(text, separator);  // too few separators: fewer fields
    }
    fields.insert(fields.end(), tail.rbegin(), tail.rend());
    return fields;
}

std::expected<std::uint64_t, std::string_view> parse_unsigned(std::string_view text,
                                                              std::uint64_t limit) {
    static constexpr std::string_view kEmpty = "cannot parse integer from empty string";
    static constexpr std::string_view kInvalid = "invalid digit found in string";
    static constexpr std::string_view kTooLarge = "number too large to fit in target type";
    if (text.empty()) return std::unexpected(kEmpty);
    std::size_t i = text[0] == '+' ? 1 : 0;
    if (i == text.size()) return std::unexpected(kInvalid);  // a lone sign
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::unexpected(kInvalid);
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value) ||
            value > limit)
            return std::unexpected(kTooLarge);
    }
    return value;
}

std::string without_trailing_blanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        const std::size_t kept = line.find_last_not_of(' ');
        out += line.substr(0, kept == std::string_view::npos ? 0 : kept + 1);
        if (end == text.size()) break;
        out += '\n';
        start = end + 1;
    }
    return out;
}

std::string quote_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = byte_at(text, i);
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        std::size_t len;
        const char32_t c = decode_at(text, i, len);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (unicode::needs_escape(c)) {
                    out += "\\u{";
                    append_hex(out, c);
                    out += '}';
                } else if (c == 0xFFFD && len == 1) {
                    out += kReplacement;  // a stray byte; keep the output valid UTF-8
                } else {
                    out.append(text.data() + i, len);
                }
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string display_optional(const std::optional<std::string>& text) {
    if (!text) return "None";
    return "Some(" + quote_text(*text) + ")";
}

std::string display_optional(const std::optional<std::uint32_t>& number) {
    if (!number) return "None";
    return "Some(" + std::to_string(*number) + ")";
}

std::string shell_quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

}  // namespace termloom
