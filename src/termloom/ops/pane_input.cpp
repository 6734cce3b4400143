// Typing into a pane, clearing its history, reading its screen, and looking
// at the process that runs in it.
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

// The capture without the blank lines above and below the content, lines
// joined by "\n" with none at the end.
std::string without_blank_edges(std::string_view screen) {
    auto lines = split_lines(screen);
    auto blank = [](std::string_view line) { return trim(line).empty(); };
    std::size_t first = 0, end = lines.size();
    while (first < end && blank(lines[first])) ++first;
    while (end > first && blank(lines[end - 1])) --end;
    std::string out;
    for (std::size_t i = first; i < end; ++i) {
        if (i > first) out += '\n';
        out += lines[i];
    }
    return out;
}

// One value of the pane by display-message: the trimmed text, or none when
// tmux failed or printed nothing but white space.
Result<std::optional<std::string>> displayed(const Pane& pane, std::string_view format) {
    auto text = successful_stdout(display_query(pane.socket, pane.pane_id, format));
    if (!text || !*text) return text;
    return trimmed_value(**text);
}

}  // namespace

Result<bool> send_keys(const Pane& pane, std::string keys, bool enter, bool clear_first) {
    if (clear_first) {
        auto cleared = action_run(tmux_argv(pane.socket, {word("send-keys"), word("-t"),
                                                          value(pane.pane_id), fixed_operand("C-l")}),
                                  "tmux clear failed: ");
        if (!cleared) return cleared;
    }
    std::vector<Arg> args = {word("send-keys"), word("-t"), value(pane.pane_id), operand(keys)};
    if (enter) args.push_back(fixed_operand("Enter"));
    return action_run(tmux_argv(pane.socket, args), "send keys failed: ");
}

Result<bool> clear(const Pane& pane) {
    return action_run(
        tmux_argv(pane.socket, {word("clear-history"), word("-t"), value(pane.pane_id)}),
        "tmux clear-history failed: ");
}

Result<std::optional<std::string>> capture(const Pane& pane, bool trim_blank_lines,
                                           std::optional<std::uint32_t> scroll_back, bool full) {
    std::vector<Arg> args = {word("capture-pane"), word("-p"), word("-t"), value(pane.pane_id)};
    // The first line: "-" is the start of the history, "-N" N lines above the screen.
    std::string start = "-";
    if (!full && scroll_back) start += std::to_string(*scroll_back);
    if (full || scroll_back) {
        args.push_back(word("-S"));
        args.push_back(word(start));
    }
    auto text = successful_stdout(tmux_argv(pane.socket, args));
    if (!text || !*text || !trim_blank_lines) return text;
    return without_blank_edges(**text);
}

Result<bool> is_alive(const Pane& pane) {
    auto output = output_of(display_query(pane.socket, pane.pane_id, "#{pane_dead}"),
                            Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) {
        return tmux_failure("tmux display-message failed: ", *output, Stderr::Trimmed);
    }
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    return trim(text) == "0";  // tmux reports 0 while the pane's process runs
}

Result<std::optional<std::string>> current_command(const Pane& pane) {
    return displayed(pane, "#{pane_current_command}");
}

Result<std::optional<std::string>> current_commandline(const Pane& pane) {
    auto pid = displayed(pane, "#{pane_pid}");
    if (!pid || !*pid) return pid;
    auto text = successful_stdout(HostCommand{pane.socket, {"ps", "-p", **pid, "-o", "args="}});
    if (!text || !*text) return text;
    return trimmed_value(**text);
}

}  // namespace termloom::pane_ops
