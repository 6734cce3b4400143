// Window.resize and Window.select_layout: the size and arrangement of a
// window's panes.
#include <algorithm>
#include <array>

#include "../core/layout_string.hpp"
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

}  // namespace

Result<bool> resize(const Window& window, std::uint32_t width, std::uint32_t height) {
    const std::string columns = std::to_string(width), rows = std::to_string(height);
    return act_on(window, "resize-window", {word("-x"), word(columns), word("-y"), word(rows)});
}

Result<bool> select_layout(const Window& window, std::string layout) {
    // A layout string is read whole before tmux sees it (see layout_string.hpp).
    if (std::ranges::find(kLayoutNames, layout) == kLayoutNames.end()) {
        if (auto fault = layout_string_fault(layout)) {
            return value_error("invalid layout " + quote_text(layout) + ": " + *fault);
        }
    }
    return act_on(window, "select-layout", {operand(layout)});
}

}  // namespace termloom::window_ops
