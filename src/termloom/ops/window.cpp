#include "window.hpp"

#include <algorithm>
#include <iterator>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "run_tmux.hpp"

namespace termloom::window_ops {
namespace {

// A status run of `subcommand` on the window; false when there is none.
Result<bool> status_on_window(const Window& window, std::string_view subcommand) {
    auto found = find_window(window.socket, window.session_name, window.index);
    if (!found) return std::unexpected(found.error());
    if (!found->found()) return false;
    return status_of(tmux_argv(window.socket, {word(subcommand), word("-t"), value(found->id)}));
}

// next-window or previous-window, then the window that became current, in
// one run: a failed move stops the list before the query.
Result<std::optional<Window>> move(const Window& window, std::string_view subcommand) {
    auto found = find_session(window.socket, window.session_name);
    if (!found) return std::unexpected(found.error());
    if (!found->found()) return std::nullopt;
    const std::string current = found->id + ":";
    auto shown = successful_stdout(tmux_argv(
        window.socket, {word(subcommand), word("-t"), value(found->id), command_separator(),
                        word("display-message"), word("-p"), word("-t"), value(current),
                        fixed_operand(kListFormat)}));
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

Result<Window> make(std::string session_name, std::uint32_t index, SocketPath socket,
                    std::string name) {
    if (auto known = known_address(socket); !known) return std::unexpected(known.error());
    return Window{std::move(session_name), index, std::move(socket), std::move(name)};
}

Result<bool> kill(const Window& window) { return status_on_window(window, "kill-window"); }

Result<bool> select(const Window& window) { return status_on_window(window, "select-window"); }

Result<void> rename(Window& window, std::string new_name) {
    auto found = find_window(window.socket, window.session_name, window.index);
    if (!found) return std::unexpected(found.error());
    bool renamed = false;
    if (found->found()) {
        auto written = format_text_on_host(window.socket, new_name);
        if (!written) return std::unexpected(written.error());
        auto ran = status_of(tmux_argv(window.socket, {word("rename-window"), word("-t"),
                                                       value(found->id), name_operand(*written)}));
        if (!ran) return std::unexpected(ran.error());
        renamed = *ran;
    }
    if (!renamed) return value_error("failed to rename window to '" + new_name + "'");
    window.name = std::move(new_name);
    return {};
}

Result<std::vector<Pane>> panes(const Window& window) {
    std::vector<Pane> found;
    if (!session_name_addressable(window.session_name)) return found;
    auto release = release_on_host(window.socket);
    if (!release) return std::unexpected(release.error());
    std::string target, written;
    const std::string filter = window_filter(window.session_name, window.index, *release);
    std::vector<Arg> args = {word("list-panes")};
    std::ranges::copy(listing_scope(target, window.session_name, window.index),
                      std::back_inserter(args));
    std::ranges::copy(filtered_listing(written, filter, pane_ops::kListFormat,
                                       lists_take_filter(*release)),
                      std::back_inserter(args));
    auto text = successful_stdout(tmux_argv(window.socket, args));
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
