// Turning the bytes a child printed into text, and text into values:
// lenient UTF-8 decoding, Unicode white-space trimming, line and field
// splitting, the unsigned decimal parse and the quoted display form.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace termloom {

// Decodes UTF-8, replacing each maximal ill-formed subpart with U+FFFD
// (the same result as Python's bytes.decode("utf-8", "replace")). Valid
// input is handed back as it is, so a moved-in output is never copied.
std::string decode_lossy(std::string bytes);

// Removes characters with the Unicode White_Space property. The input must
// be valid UTF-8 (as produced by decode_lossy or taken from a Python str).
std::string_view trim(std::string_view text);
std::string_view trim_start(std::string_view text);

// The text without one final "\n" (and a "\r" before it): a single line
// of output with its free text whole.
std::string_view without_line_end(std::string_view text);

// Lines of a decoded output: cut after each "\n", dropping the "\n" and one
// "\r" before it; a final "\n" adds no empty line; "" gives no lines.
std::vector<std::string_view> split_lines(std::string_view text);

// The text with the spaces at the end of each of its lines removed; the
// line ends stay as they are.
std::string without_trailing_spaces(std::string_view text);

// Cuts at every occurrence of `separator`; empty fields count, "" gives {""}.
std::vector<std::string_view> split_fields(std::string_view text, char separator);

// Cuts from the left into at most `max_fields` fields; the last keeps the rest.
std::vector<std::string_view> split_fields(std::string_view text, char separator,
                                           std::size_t max_fields);

// Cuts a record of `count` fields of which only the one at `free_index` is
// free text that may hold the separator: the fields before it are cut from
// the left, those after it from the right, and it keeps what lies between.
// Gives fewer than `count` fields when the separators are too few.
std::vector<std::string_view> split_record(std::string_view text, char separator,
                                           std::size_t count, std::size_t free_index);

// The unsigned decimal parse: optional "+", then ASCII digits only, at most
// `limit`. On failure the error is one of the three fixed messages.
std::expected<std::uint64_t, std::string_view> parse_unsigned(std::string_view text,
                                                              std::uint64_t limit);

inline std::expected<std::uint32_t, std::string_view> parse_u32(std::string_view text) {
    // No expected::transform before GCC 13.
    auto value = parse_unsigned(text, UINT32_MAX);
    if (!value) return std::unexpected(value.error());
    return static_cast<std::uint32_t>(*value);
}

inline std::expected<std::uint64_t, std::string_view> parse_u64(std::string_view text) {
    return parse_unsigned(text, UINT64_MAX);
}

// The text between double quotes with backslash escapes for \ " \t \r \n NUL
// and \u{hex} for grapheme extenders and invisible or unassigned characters.
std::string quote_text(std::string_view text);

// Each line without its trailing spaces, as tmux prints a screen unless it
// keeps them (capture-pane -N).
std::string without_trailing_blanks(std::string_view text);

// The text as one shell word: between single quotes, each ' written '\''.
std::string shell_quoted(std::string_view text);

// Optional display form: None, or Some(<quoted text>) / Some(<decimal>).
std::string display_optional(const std::optional<std::string>& text);
std::string display_optional(const std::optional<std::uint32_t>& number);

inline const char* display_flag(bool flag) { return flag ? "true" : "false"; }

}  // namespace termloom
