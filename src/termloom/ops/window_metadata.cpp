// Window.metadata: one query, filtered on the session's exact name and the
// window's index, parsed into a WindowMetadata.
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "run_tmux.hpp"
#include "window.hpp"

namespace termloom::window_ops {
namespace {

constexpr std::string_view kFailed = "tmux failed: ";

constexpr std::string_view kMetadataFormat =
    "#{window_index}|#{window_name}|#{window_active}|#{window_layout}|"
    "#{window_width}|#{window_height}|#{window_flags}";

// An empty size is unknown; anything else must be a number.
Result<std::optional<std::uint32_t>> size_field(std::string_view label, std::string_view field) {
    std::string_view text = trim(field);
    if (text.empty()) return std::nullopt;
    auto parsed = parse_u32(text);
    if (!parsed) return bad_field(label, field, parsed.error());
    return std::optional<std::uint32_t>(*parsed);
}

// As tmux would say it for a target naming a missing session or window.
std::unexpected<Error> not_found(const std::string& tmux_words) {
    return runtime_error(std::string(kFailed) + std::string(trim(tmux_words)));
}

}  // namespace

Result<WindowMetadata> metadata(const Window& window) {
    if (!session_name_addressable(window.session_name)) {
        return not_found(no_such_session(window.session_name));
    }
    // The session's id on a line of its own, then the window's line.
    auto query = exact_listing(window.socket, window.session_name, window.index, kMetadataFormat);
    if (!query) return std::unexpected(query.error());
    auto output = output_of(*query, Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(kFailed, *output, Stderr::Trimmed);

    std::string text = decode_lossy(std::move(output->stdout_bytes));
    const auto lines = listed_lines(text);
    if (lines.empty()) return not_found(no_such_session(window.session_name));
    if (lines.size() < 2) return not_found(no_such_window(window.index));
    std::string_view line = trim(lines[1]);
    auto fields = metadata_fields(line);
    if (fields.size() != kMetadataFieldCount) {
        return runtime_error("unexpected tmux window metadata output: " + quote_text(line));
    }
    auto index = parse_u32(fields[0]);
    if (!index) return bad_field("window_index", fields[0], index.error());
    auto width = size_field("window_width", fields[4]);
    if (!width) return std::unexpected(width.error());
    auto height = size_field("window_height", fields[5]);
    if (!height) return std::unexpected(height.error());
    return WindowMetadata{
        .index = *index,
        .name = std::string(fields[1]),
        .active = fields[2] == "1",
        .layout = std::string(fields[3]),
        .width = *width,
        .height = *height,
        .flags = std::string(fields[6]),
    };
}

}  // namespace termloom::window_ops

namespace termloom::window_metadata_ops {

std::string repr(const WindowMetadata& r) {
    return "WindowMetadata(index=" + std::to_string(r.index) + ", name=" + quote_text(r.name) +
           ", active=" + display_flag(r.active) + ", layout=" + quote_text(r.layout) +
           ", width=" + display_optional(r.width) + ", height=" + display_optional(r.height) +
           ", flags=" + quote_text(r.flags) + ")";
}

}  // namespace termloom::window_metadata_ops
