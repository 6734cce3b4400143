#include "window.hpp"

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "run_tmux.hpp"

namespace termloom::window_ops {
namespace {

// A status run against the window target; false when there is none.
Result<bool> status_on_window(const Window& window, std::string_view subcommand) {
    auto target = window_target(window.session_name, window.index);
    if (!target) return false;
    return status_of(tmux_argv(window.socket, {word(subcommand), word("-t"), value(*target)}));
}

// next-window or previous-window, then the window that became current.
Result<std::optional<Window>> move(const Window& window, std::string_view subcommand) {
    auto session = session_target(window.session_name);
    if (!session) return std::nullopt;
    auto moved = successful_output(
        tmux_argv(window.socket, {word(subcommand), word("-t"), value(*session)}), Capture::Neither);
    if (!moved) return std::unexpected(moved.error());
    if (!*moved) return std::nullopt;
    // display-message resolves a bare "=NAME" to no window; "=NAME:" is the current one.
    auto shown = successful_stdout(display_query(window.socket, *session + ":", kListFormat));
    if (!shown) return std::unexpected(shown.error());
    if (!*shown) return std::nullopt;
    return from_listing(without_line_end(**shown), window.session_name, window.socket);
}

}  // namespace

std::optional<Window> from_listing(std::string_view line, const std::string& session_name,
                                   const SocketPath& socket) {
    auto fields = split_record(trim_start(line), '|', 2, 1);
    if (fields.size() != 2) return std::nullopt;
    auto index = parse_u32(fields[0]);
    if (!index) return std::nullopt;
    return Window{session_name, *index, socket, std::string(fields[1])};
}

Window make(std::string session_name, std::uint32_t index, SocketPath socket, std::string name) {
    return Window{std::move(session_name), index, std::move(socket), std::move(name)};
}

Result<bool> kill(const Window& window) { return status_on_window(window, "kill-window"); }

Result<bool> select(const Window& window) { return status_on_window(window, "select-window"); }

Result<void> rename(Window& window, std::string new_name) {
    auto target = window_target(window.session_name, window.index);
    bool renamed = false;
    if (target) {
        auto ran = status_of(tmux_argv(window.socket, {word("rename-window"), word("-t"),
                                                       value(*target), name_operand(new_name)}));
        if (!ran) return std::unexpected(ran.error());
        renamed = *ran;
    }
    if (!renamed) return value_error("failed to rename window to '" + new_name + "'");
    window.name = std::move(new_name);
    return {};
}

Result<std::vector<Pane>> panes(const Window& window) {
    std::vector<Pane> found;
    auto target = window_target(window.session_name, window.index);
    if (!target) return found;
    auto text = successful_stdout(tmux_argv(window.socket, {word("list-panes"), word("-t"),
                                                            value(*target), word("-F"),
                                                            word(pane_ops::kListFormat)}));
    if (!text) return std::unexpected(text.error());
    if (!*text) return found;
    for (std::string_view line : split_lines(**text)) {
        auto fields = pane_ops::listing_fields(line);
        if (!fields) continue;
        auto pane_index = parse_u32((*fields)[0]);
        if (!pane_index) continue;
        found.push_back(Pane{window.session_name, window.index, *pane_index,
                             std::string((*fields)[1]), std::string((*fields)[2]), window.socket});
    }
    return found;
}

Result<std::optional<Window>> next(const Window& window) { return move(window, "next-window"); }

Result<std::optional<Window>> previous(const Window& window) {
    return move(window, "previous-window");
}

std::string repr(const Window& window) {
    return "Window(session_name=" + quote_text(window.session_name) +
           ", index=" + std::to_string(window.index) + ", name=" + quote_text(window.name) +
           ", socket=" + display_optional(window.socket) + ")";
}

}  // namespace termloom::window_ops
