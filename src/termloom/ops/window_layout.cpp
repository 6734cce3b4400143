// Window.resize and Window.select_layout: the size and arrangement of a
// window's panes.
#include <algorithm>
#include <array>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "run_tmux.hpp"
#include "window.hpp"

namespace termloom::window_ops {
namespace {

// An action run of `subcommand` on the window, then `rest`.
Result<bool> act_on(const Window& window, std::string_view subcommand,
                    std::initializer_list<Arg> rest) {
    std::string failed = "tmux " + std::string(subcommand) + " failed: ";
    auto found = find_window(window.socket, window.session_name, window.index);
    if (!found) return std::unexpected(found.error());
    if (!found->found()) return lookup_failure(*found, failed, Stderr::Trimmed);
    std::vector<Arg> args = {word(subcommand), word("-t"), value(found->id)};
    args.insert(args.end(), rest);
    return action_run(tmux_argv(window.socket, args), failed);
}

constexpr std::array<std::string_view, 5> kLayoutNames = {
    "even-horizontal", "even-vertical", "main-horizontal", "main-vertical", "tiled"};

// A layout name, or a layout string as tmux prints one: a checksum of four
// hex digits and a comma first. tmux 3.3a's server crashes on most other
// text (anything that starts with neither a name nor a hex digit), ending
// every session, so nothing else is sent to it.
bool is_layout(std::string_view layout) {
    if (std::ranges::find(kLayoutNames, layout) != kLayoutNames.end()) return true;
    auto hex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    return layout.size() > 4 && std::all_of(layout.begin(), layout.begin() + 4, hex) &&
           layout[4] == ',';
}

}  // namespace

Result<bool> resize(const Window& window, std::uint32_t width, std::uint32_t height) {
    const std::string columns = std::to_string(width), rows = std::to_string(height);
    return act_on(window, "resize-window", {word("-x"), word(columns), word("-y"), word(rows)});
}

Result<bool> select_layout(const Window& window, std::string layout) {
    if (!is_layout(layout)) return runtime_error("tmux select-layout failed: invalid layout: " + layout);
    return act_on(window, "select-layout", {operand(layout)});
}

}  // namespace termloom::window_ops
