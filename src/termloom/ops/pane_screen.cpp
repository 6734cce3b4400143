// Typing literal text, screen snapshots, and the two screen waits.
#include <utility>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "pane_view.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

// The line display-message prints after the capture; the terminal's path
// comes last, as the rest of the line.
constexpr std::string_view kStateFormat =
    "#{cursor_x} #{cursor_y} #{pane_width} #{pane_height} #{alternate_on} #{pane_dead} "
    "#{pane_pid} #{history_size} #{pane_tty}";
constexpr std::size_t kStateFields = 9;
constexpr std::size_t kTimeoutLines = 20;

Result<void> parse_state(std::string_view line, PaneView& view) {
    auto fields = split_fields(line, ' ', kStateFields);
    if (fields.size() != kStateFields) {
        return runtime_error("unexpected tmux pane state output: " + quote_text(line));
    }
    constexpr std::string_view labels[] = {"cursor_x", "cursor_y", "pane_width", "pane_height"};
    std::uint32_t* numbers[] = {&view.screen.cursor_x, &view.screen.cursor_y, &view.screen.width,
                                &view.screen.height};
    for (std::size_t i = 0; i < 4; ++i) {
        auto parsed = parse_u32(fields[i]);
        if (!parsed) return bad_field(labels[i], fields[i], parsed.error());
        *numbers[i] = *parsed;
    }
    view.screen.alternate = fields[4] == "1";
    view.dead = fields[5] == "1";
    auto pid = parse_u32(fields[6]);
    view.pid = pid ? static_cast<pid_t>(*pid) : 0;  // none while no process runs
    auto history = parse_u64(fields[7]);
    if (!history) return bad_field("history_size", fields[7], history.error());
    view.history_size = *history;
    view.tty = std::string(fields[8]);
    return {};
}

std::string seconds_phrase(std::optional<Seconds> timeout) {
    return timeout ? seconds_text(*timeout) + " seconds" : std::string("no time limit");
}

}  // namespace

Result<PaneView> view_pane(const Pane& pane, ViewOptions options) {
    std::vector<Arg> args = {word("capture-pane"), word("-p")};
    if (options.escapes) args.push_back(word("-e"));
    if (options.joined) args.push_back(word("-J"));
    std::string start;
    if (options.whole_history) {
        args.push_back(word("-S"));
        args.push_back(word("-"));
    } else if (options.lines_above > 0) {
        start = std::to_string(options.lines_above);
        start.insert(start.begin(), '-');
        args.push_back(word("-S"));
        args.push_back(word(start));
    }
    for (Arg arg : {word("-t"), value(pane.pane_id), command_separator(), word("display-message"),
                    word("-p"), word("-t"), value(pane.pane_id), fixed_operand(kStateFormat)}) {
        args.push_back(arg);
    }
    if (!options.then.empty()) {
        args.push_back(command_separator());
        args.insert(args.end(), options.then.begin(), options.then.end());
    }
    auto output = output_of(tmux_argv(pane.socket, args), Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    PaneView view;
    if (!succeeded(*output)) {
        view.gone = std::string(trim(decode_lossy(std::move(output->stderr_bytes))));
        return view;
    }
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    std::string_view all = without_line_end(text);
    const std::size_t cut = all.rfind('\n');
    auto parsed = parse_state(all.substr(cut == std::string_view::npos ? 0 : cut + 1), view);
    if (!parsed) return std::unexpected(parsed.error());
    std::string_view screen = cut == std::string_view::npos ? std::string_view() : all.substr(0, cut);
    if (!options.joined) {
        view.screen.text = std::string(screen);
        return view;
    }
    auto unpadded = unpadded_capture(screen);
    if (!unpadded) return std::unexpected(unpadded.error());
    view.screen.text = std::move(*unpadded);
    return view;
}

Result<PaneView> live_view(const Pane& pane, ViewOptions options, std::string_view ended) {
    auto view = view_pane(pane, options);
    if (!view) return view;
    if (view->gone.empty() && !view->dead) return view;
    std::string message = "pane " + pane.pane_id;
    if (!ended.empty()) {
        message += ended;
    } else if (view->dead) {
        message += " died: its process has exited";
    } else {
        message += " is gone: " + view->gone;
    }
    return runtime_error(std::move(message));
}

WakeSources wake_sources(const PaneView& view) { return WakeSources{view.tty, view.pid}; }

std::string last_screen_lines(std::string_view text) {
    std::vector<std::string_view> kept;
    for (std::string_view line : split_lines(text)) {
        if (!trim(line).empty()) kept.push_back(line);
    }
    if (kept.empty()) return "; the screen is blank";
    std::string out = "; last screen:";
    for (std::size_t i = kept.size() > kTimeoutLines ? kept.size() - kTimeoutLines : 0; i < kept.size(); ++i) {
        out += '\n';
        out += kept[i];
    }
    return out;
}

std::vector<Arg> typing(const Pane& pane, std::string_view keys, bool enter) {
    std::vector<Arg> args = {word("send-keys"), word("-t"), value(pane.pane_id), word("-l"),
                             operand(keys)};
    if (enter) {
        for (Arg arg : {command_separator(), word("send-keys"), word("-t"), value(pane.pane_id),
                        fixed_operand("Enter")}) {
            args.push_back(arg);
        }
    }
    return args;
}

Result<bool> send_text(const Pane& pane, std::string text, bool enter) {
    // No key of a terminal sends it, and no argument can carry it to tmux.
    if (text.find('\0') != std::string::npos) {
        return value_error("send_text: NUL (\"\\0\") cannot be typed");
    }
    // The terminal's Enter sends a carriage return.
    for (char& c : text) {
        if (c == '\n') c = '\r';
    }
    return action_run(tmux_argv(pane.socket, typing(pane, text, enter)), "send text failed: ");
}

Result<Screen> screen(const Pane& pane, bool escapes) {
    auto view = view_pane(pane, {.escapes = escapes});
    if (!view) return std::unexpected(view.error());
    if (!view->gone.empty()) return runtime_error("screen failed: " + view->gone);
    return std::move(view->screen);
}

Result<Screen> wait_for(const Pane& pane, const TextMatcher& pattern,
                        std::optional<Seconds> timeout) {
    const auto deadline = deadline_after(timeout);
    auto first = live_view(pane, {});
    if (!first) return std::unexpected(first.error());
    Screen last = std::move(first->screen);
    bool fresh = true;  // `last` not yet matched
    auto look = [&]() -> Result<Look> {
        if (!fresh) {
            auto view = live_view(pane, {});
            if (!view) return std::unexpected(view.error());
            const bool changed = view->screen.text != last.text;
            last = std::move(view->screen);
            if (!changed) return Look{Progress::Unchanged, {}};
        }
        fresh = false;
        auto matched = pattern.matches(last.text);
        if (!matched) return std::unexpected(matched.error());
        return Look{*matched ? Progress::Done : Progress::Changed, {}};
    };
    auto done = wait_until(deadline, wake_sources(*first), look);
    if (!done) return std::unexpected(done.error());
    if (*done) return last;
    return timeout_error("no match for " + pattern.description + " within " +
                         seconds_phrase(timeout) + last_screen_lines(last.text));
}

Result<Screen> wait_quiet(const Pane& pane, Seconds quiet, std::optional<Seconds> timeout) {
    const auto deadline = deadline_after(timeout);
    auto first = live_view(pane, {});
    if (!first) return std::unexpected(first.error());
    const auto quiet_time = std::chrono::duration_cast<WaitClock::duration>(
        std::chrono::duration<double>(std::min(quiet.value, 1e9)));
    Screen last = std::move(first->screen);
    auto since = WaitClock::now();
    bool fresh = true;
    auto same = [](const Screen& a, const Screen& b) {
        return a.text == b.text && a.cursor_x == b.cursor_x && a.cursor_y == b.cursor_y;
    };
    auto look = [&]() -> Result<Look> {
        if (!fresh) {
            auto view = live_view(pane, {});
            if (!view) return std::unexpected(view.error());
            if (!same(view->screen, last)) {
                last = std::move(view->screen);
                since = WaitClock::now();
                return Look{Progress::Changed, since + quiet_time};
            }
        }
        fresh = false;
        if (WaitClock::now() - since >= quiet_time) return Look{Progress::Done, {}};
        return Look{Progress::Unchanged, since + quiet_time};
    };
    auto done = wait_until(deadline, wake_sources(*first), look);
    if (!done) return std::unexpected(done.error());
    if (*done) return last;
    return timeout_error("the screen did not stay unchanged for " + seconds_text(quiet) +
                         " seconds within " + seconds_phrase(timeout) +
                         last_screen_lines(last.text));
}

}  // namespace termloom::pane_ops

namespace termloom::screen_ops {

std::string repr(const Screen& s) {
    return "Screen(text=" + quote_text(s.text) + ", cursor_x=" + std::to_string(s.cursor_x) +
           ", cursor_y=" + std::to_string(s.cursor_y) + ", width=" + std::to_string(s.width) +
           ", height=" + std::to_string(s.height) + ", alternate=" + display_flag(s.alternate) +
           ")";
}

}  // namespace termloom::screen_ops
