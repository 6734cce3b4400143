#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "../core/styled_cells.hpp"
#include "../core/svg_picture.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "run_tmux.hpp"
#include "styled_screen.hpp"

namespace termloom::pane_ops {
namespace {

// The lines display-message prints after the capture: the state, then the
// two styles whose colours are the pane's defaults, expanded as tmux does.
constexpr std::string_view kStateFormat =
    "#{cursor_x} #{cursor_y} #{pane_width} #{pane_height} #{alternate_on} #{history_size} "
    "#{cursor_flag} #{pane_active}";
constexpr std::size_t kStateFields = 8;
constexpr std::string_view kStyleFormat = "#{E:window-style}";
constexpr std::string_view kActiveStyleFormat = "#{E:window-active-style}";

struct PaneState {
    std::uint32_t numbers[4] = {};  // cursor_x, cursor_y, pane_width, pane_height
    bool alternate = false;
    std::uint64_t history_size = 0;
    bool cursor_visible = true;
    bool active = false;
};

Result<PaneState> parse_state(std::string_view line) {
    auto fields = split_fields(line, ' ');
    if (fields.size() != kStateFields) {
        return runtime_error("unexpected tmux pane state output: " + quote_text(line));
    }
    PaneState state;
    constexpr std::string_view labels[] = {"cursor_x", "cursor_y", "pane_width", "pane_height"};
    for (std::size_t i = 0; i < 4; ++i) {
        auto parsed = parse_u32(fields[i]);
        if (!parsed) return bad_field(labels[i], fields[i], parsed.error());
        state.numbers[i] = *parsed;
    }
    state.alternate = fields[4] == "1";
    auto history = parse_u64(fields[5]);
    if (!history) return bad_field("history_size", fields[5], history.error());
    state.history_size = *history;
    state.cursor_visible = fields[6] != "0";
    state.active = fields[7] == "1";
    return state;
}

// tmux takes a colour of window-active-style for the active pane, and
// window-style's where the active style leaves it default.
Result<void> set_default_colours(StyledScreen& screen, std::string_view style,
                                 std::string_view active_style, bool active) {
    auto plain = default_colours_of_style(style);
    if (!plain) return std::unexpected(plain.error());
    screen.foreground = plain->fg;
    screen.background = plain->bg;
    if (!active) return {};
    auto when_active = default_colours_of_style(active_style);
    if (!when_active) return std::unexpected(when_active.error());
    if (when_active->fg != Colour{}) screen.foreground = when_active->fg;
    if (when_active->bg != Colour{}) screen.background = when_active->bg;
    return {};
}

// The last line of `text` cut off: what comes before it, and it.
std::string_view cut_last_line(std::string_view& text) {
    const std::size_t cut = text.rfind('\n');
    std::string_view line = cut == std::string_view::npos ? text : text.substr(cut + 1);
    text = cut == std::string_view::npos ? std::string_view() : text.substr(0, cut);
    return line;
}

std::string system_error_text(int err) {
    char buf[256];
    return ::strerror_r(err, buf, sizeof buf);  // GNU: returns the text
}

Result<void> write_file(const std::string& path, std::string_view content) {
    auto failure = [&](int err) {
        return runtime_error("cannot write the screenshot to " + quote_text(path) + ": " +
                             system_error_text(err));
    };
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return failure(errno);
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) {
            const int err = errno;
            ::close(fd);
            return failure(err);
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(fd) != 0 && errno != EINTR) return failure(errno);
    return {};
}

}  // namespace

Result<Screen> styled_screen(const Pane& pane, bool escapes) {
    auto release = release_on_host(pane.socket);
    if (!release) return std::unexpected(release.error());
    const std::vector<Arg> args = {
        word("capture-pane"), word("-p"), word("-e"), word("-N"), word("-t"), value(pane.pane_id),
        command_separator(), word("display-message"), word("-p"), word("-t"), value(pane.pane_id),
        fixed_operand(kStateFormat),
        command_separator(), word("display-message"), word("-p"), word("-t"), value(pane.pane_id),
        fixed_operand(kStyleFormat),
        command_separator(), word("display-message"), word("-p"), word("-t"), value(pane.pane_id),
        fixed_operand(kActiveStyleFormat),
    };
    auto output = output_of(tmux_argv(pane.socket, args), Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) {
        return runtime_error("screen failed: " +
                             std::string(trim(decode_lossy(std::move(output->stderr_bytes)))));
    }
    const std::string text = decode_lossy(std::move(output->stdout_bytes));
    std::string_view rest = without_line_end(text);
    const std::string_view active_style = cut_last_line(rest);
    const std::string_view style = cut_last_line(rest);
    auto state = parse_state(cut_last_line(rest));
    if (!state) return std::unexpected(state.error());
    auto parsed = parse_styled_capture(rest, state->numbers[2], state->numbers[3],
                                       cell_rules(*release));
    if (!parsed) return std::unexpected(parsed.error());
    parsed->screen.cursor_visible = state->cursor_visible;
    auto coloured = set_default_colours(parsed->screen, style, active_style, state->active);
    if (!coloured) return std::unexpected(coloured.error());
    Screen screen;
    screen.text = escapes ? without_trailing_blanks(rest) : std::move(parsed->text);
    screen.cursor_x = state->numbers[0];
    screen.cursor_y = state->numbers[1];
    screen.width = state->numbers[2];
    screen.height = state->numbers[3];
    screen.alternate = state->alternate;
    screen.history_size = state->history_size;
    screen.styled = std::make_shared<const StyledScreen>(std::move(parsed->screen));
    return screen;
}

Result<Screen> screenshot(const Pane& pane, std::string path, std::optional<std::string> title) {
    if (title) {
        if (auto checked = check_title(*title); !checked) return std::unexpected(checked.error());
    }
    if (path.find('\0') != std::string::npos) {
        return value_error("path: NUL (\"\\0\") cannot be in a file name");
    }
    auto screen = styled_screen(pane, false);
    if (!screen) return screen;
    auto picture = screen_ops::svg(*screen, title);
    if (!picture) return std::unexpected(picture.error());
    if (auto written = write_file(path, *picture); !written) return std::unexpected(written.error());
    return screen;
}

}  // namespace termloom::pane_ops

namespace termloom::screen_ops {

std::optional<std::vector<std::vector<Cell>>> cells(const Screen& screen) {
    if (!screen.styled) return std::nullopt;
    const StyledScreen& styled = *screen.styled;
    std::vector<std::vector<Cell>> rows;
    rows.reserve(styled.rows.size());
    for (const auto& row : styled.rows) {
        std::vector<Cell>& out = rows.emplace_back();
        out.reserve(row.size());
        for (const StyledCell& cell : row) {
            const CellStyle& s = cell.style;
            out.push_back(Cell{
                .character = cell.text,
                .width = cell.width,
                .fg = colour_text(s.fg),
                .bg = colour_text(s.bg),
                .underline = std::string(underline_text(s.underline)),
                .underline_colour = styled.underline_colours
                                        ? std::optional<std::string>(colour_text(s.underline_colour))
                                        : std::nullopt,
                .bold = s.has(kBold),
                .dim = s.has(kDim),
                .italic = s.has(kItalic),
                .blink = s.has(kBlink),
                .reverse = s.has(kReverse),
                .hidden = s.has(kHidden),
                .strike = s.has(kStrike),
                .overline = s.has(kOverline),
            });
        }
    }
    return rows;
}

Result<std::string> svg(const Screen& screen, std::optional<std::string> title) {
    if (title) {
        if (auto checked = check_title(*title); !checked) return std::unexpected(checked.error());
    }
    if (!screen.styled) {
        return runtime_error("this Screen has no cells to draw: take it with screen(styles=True)");
    }
    return svg_picture(*screen.styled, PictureCursor{screen.cursor_x, screen.cursor_y}, title);
}

}  // namespace termloom::screen_ops

namespace termloom::cell_ops {

std::string repr(const Cell& c) {
    return "Cell(char=" + quote_text(c.character) + ", width=" + std::to_string(c.width) +
           ", fg=" + quote_text(c.fg) + ", bg=" + quote_text(c.bg) +
           ", underline=" + quote_text(c.underline) +
           ", underline_colour=" + display_optional(c.underline_colour) +
           ", bold=" + display_flag(c.bold) + ", dim=" + display_flag(c.dim) +
           ", italic=" + display_flag(c.italic) + ", blink=" + display_flag(c.blink) +
           ", reverse=" + display_flag(c.reverse) + ", hidden=" + display_flag(c.hidden) +
           ", strike=" + display_flag(c.strike) + ", overline=" + display_flag(c.overline) + ")";
}

}  // namespace termloom::cell_ops
