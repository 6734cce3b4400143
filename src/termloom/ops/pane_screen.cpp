// Typing literal text, screen snapshots, and the two screen waits.
#include <utility>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "pane_view.hpp"
#include "run_tmux.hpp"
#include "styled_screen.hpp"

namespace termloom::pane_ops {
namespace {

// The line display-message prints after the capture; the terminal's path
// comes last, as the rest of the line.
constexpr std::string_view kStateFormat =
    "#{cursor_x} #{cursor_y} #{pane_width} #{pane_height} #{alternate_on} #{pane_dead} "
    "#{pane_pid} #{history_size} #{history_limit} #{pane_tty}";
constexpr std::size_t kStateFields = 10;

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
    view.screen.history_size = *history;
    auto limit = parse_u64(fields[8]);
    if (!limit) return bad_field("history_limit", fields[8], limit.error());
    view.history_limit = *limit;
    view.tty = std::string(fields[9]);
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
    if (options.as_written) args.push_back(word("-N"));
    if (options.as_written && options.only_written) args.push_back(word("-T"));
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
    if (options.joined) {
        auto unpadded = unpadded_capture(screen);
        if (!unpadded) return std::unexpected(unpadded.error());
        view.screen.text = std::move(*unpadded);
    } else {
        view.screen.text = std::string(screen);
    }
    if (options.as_written) {
        view.written = view.screen.text;
        view.screen.text = without_trailing_blanks(view.written);
    }
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

Result<Screen> screen(const Pane& pane, bool escapes, bool styles) {
    if (styles) return styled_screen(pane, escapes);
    auto view = view_pane(pane, {.escapes = escapes});
    if (!view) return std::unexpected(view.error());
    if (!view->gone.empty()) return runtime_error("screen failed: " + view->gone);
    return std::move(view->screen);
}

namespace {

// The last `rows` lines of a capture.
std::string_view last_rows(std::string_view text, std::uint32_t rows) {
    std::size_t start = text.size();
    for (std::uint32_t i = 0; i < rows; ++i) {
        const std::size_t cut = start == 0 ? std::string_view::npos : text.rfind('\n', start - 1);
        if (cut == std::string_view::npos) return text;
        start = cut;
    }
    return text.substr(start + 1);
}

// `line` without what it still shares with `old` at its start: the text the
// marked line held then. Cut between characters, never inside one.
std::string_view after_old_text(std::string_view line, std::string_view old) {
    std::size_t same = 0;
    while (same < line.size() && same < old.size() && line[same] == old[same]) ++same;
    while (same > 0 && same < line.size() && (static_cast<unsigned char>(line[same]) & 0xC0) == 0x80) {
        --same;
    }
    return line.substr(same);
}

// The marked screen's text on its cursor's line; none for a line count.
std::string_view marked_line_text(const OutputMark& mark) {
    if (!mark.screen) return {};
    const auto rows = split_lines(mark.screen->text);
    return mark.screen->cursor_y < rows.size() ? rows[mark.screen->cursor_y] : std::string_view();
}

// What a wait looks at in one view: the screen as written or, after a mark,
// only the output that came after it.
struct Sight {
    Screen screen;      // the visible screen, as Screen.text documents it
    std::string text;   // what the pattern is matched against
    bool complete = true;  // false: history grew past the capture; look again at once
};

// The lines of the screen that differ from the marked screen's line in the
// same row: a screen without history (the alternate one, or after the
// history was cleared) tells new text only this way.
std::string changed_rows(std::string_view written, const Screen& old) {
    const auto now = split_lines(written);
    const auto before = split_lines(old.text);
    std::string out;
    for (std::size_t row = 0; row < now.size(); ++row) {
        const std::string current = without_trailing_blanks(now[row]);
        if (row < before.size() && current == before[row]) continue;
        if (!out.empty()) out += '\n';
        out += now[row];
    }
    return out;
}

Result<Sight> sight(const Pane& pane, const std::optional<OutputMark>& after, bool only_written,
                    std::uint64_t& history_guess, std::uint64_t history_floor) {
    ViewOptions options{.as_written = true, .only_written = only_written};
    if (after && !(after->screen && after->screen->alternate)) {
        options.lines_above = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(history_guess > after->line ? history_guess - after->line : 0,
                                    UINT32_MAX));
    }
    auto view = live_view(pane, options);
    if (!view) return std::unexpected(view.error());
    Sight seen;
    seen.screen = std::move(view->screen);
    const std::string_view visible = last_rows(view->written, seen.screen.height);
    seen.screen.text = without_trailing_blanks(visible);
    const std::uint64_t history = view->history_size;
    history_guess = history;
    if (!after) {
        seen.text = std::move(view->written);
        return seen;
    }
    const bool cleared = history < history_floor;
    const bool marked_alternate = after->screen && after->screen->alternate;
    if (seen.screen.alternate || marked_alternate || cleared) {
        if (!after->screen) {
            return runtime_error("pane " + pane.pane_id +
                                 (cleared ? "'s history was cleared" : " shows its alternate screen") +
                                 ": a line count cannot tell new output from old; pass a Screen");
        }
        seen.text = changed_rows(visible, *after->screen);
        return seen;
    }
    if (view->history_limit > 0 && history >= view->history_limit) {
        return runtime_error("pane " + pane.pane_id + "'s history is full (history-limit " +
                             std::to_string(view->history_limit) +
                             "): new output cannot be told from old; raise history-limit");
    }
    // The capture's first line, counted from the top of the history.
    const std::uint64_t first = history - std::min<std::uint64_t>(options.lines_above, history);
    if (first > after->line) {
        seen.complete = false;
        return seen;
    }
    auto lines = split_lines(view->written);
    std::size_t index = static_cast<std::size_t>(after->line - first);
    for (; index < lines.size(); ++index) {
        std::string_view line = lines[index];
        if (first + index == after->line) line = after_old_text(line, marked_line_text(*after));
        if (!seen.text.empty() || first + index != after->line) seen.text += '\n';
        seen.text += line;
    }
    return seen;
}

}  // namespace

Result<Screen> wait_for(const Pane& pane, const TextMatcher& pattern,
                        std::optional<Seconds> timeout, std::optional<OutputMark> after) {
    const auto deadline = deadline_after(timeout);
    std::uint64_t history_guess = after && after->screen ? after->screen->history_size : 0;
    auto first = live_view(pane, {});
    if (!first) return std::unexpected(first.error());
    // -T (3.4 and later) leaves out the blank cells nobody wrote.
    auto release = release_on_path();
    if (!release) return std::unexpected(release.error());
    const bool only_written = release->at_least(3, 4);
    if (!after || !after->screen) history_guess = first->history_size;
    // History shorter than at the mark (or at the start) was cleared.
    const std::uint64_t history_floor = history_guess;
    Screen last;
    std::string last_text;
    bool fresh = true;
    auto look = [&]() -> Result<Look> {
        auto seen = sight(pane, after, only_written, history_guess, history_floor);
        if (seen && !seen->complete) seen = sight(pane, after, only_written, history_guess, history_floor);
        if (!seen) return std::unexpected(seen.error());
        last = std::move(seen->screen);
        if (!seen->complete || (!fresh && seen->text == last_text)) return Look{Progress::Unchanged, {}};
        fresh = false;
        last_text = std::move(seen->text);
        // Before 3.4 tmux pads lines with blanks nobody wrote: the text
        // without them is asked too, so "100\n" matches as well as "$ ".
        auto matched = pattern.matches(last_text);
        if (matched && !*matched) matched = pattern.matches(without_trailing_blanks(last_text));
        if (!matched) return std::unexpected(matched.error());
        return Look{*matched ? Progress::Done : Progress::Changed, {}};
    };
    auto done = wait_until(deadline, wake_sources(*first), look);
    if (!done) return std::unexpected(done.error());
    if (*done) return last;
    return timeout_error("no match for " + pattern.description + " within " +
                         seconds_phrase(timeout) + last_screen_lines(last.text));
}

Result<std::optional<std::uint32_t>> wait_exit(const Pane& pane, std::optional<Seconds> timeout) {
    const auto deadline = deadline_after(timeout);
    std::optional<std::uint32_t> status;
    std::optional<WaitClock::time_point> dead_since;
    constexpr auto kStatusGrace = std::chrono::milliseconds(500);
    constexpr auto kStatusPoll = std::chrono::milliseconds(20);
    auto first = view_pane(pane, {});
    if (!first) return std::unexpected(first.error());
    if (!first->gone.empty()) return status;  // its status went with it
    auto look = [&]() -> Result<Look> {
        auto view = view_pane(pane, {});
        if (!view) return std::unexpected(view.error());
        if (!view->gone.empty()) return Look{Progress::Done, {}};
        if (!view->dead) return Look{Progress::Unchanged, {}};
        auto ended = successful_stdout(
            display_query(pane.socket, pane.pane_id, "#{pane_dead_status} #{pane_dead_signal}"));
        if (!ended) return std::unexpected(ended.error());
        if (!*ended) return Look{Progress::Done, {}};
        auto fields = split_fields(without_line_end(**ended), ' ');
        if (fields.size() >= 1 && !fields[0].empty()) {
            if (auto code = parse_u32(fields[0])) status = *code;
        } else if (fields.size() >= 2 && !fields[1].empty()) {
            if (auto signal = parse_u32(fields[1])) status = 128 + *signal;  // as a shell reports it
        }
        if (status) return Look{Progress::Done, {}};
        // tmux marks the pane dead when the terminal closes, and learns the
        // status a moment later, when it reaps the process; a signal it
        // reports only from 3.3 on.
        const auto now = WaitClock::now();
        if (!dead_since) dead_since = now;
        if (now - *dead_since >= kStatusGrace) return Look{Progress::Done, {}};
        return Look{Progress::Unchanged, now + kStatusPoll};
    };
    auto done = wait_until(deadline, wake_sources(*first), look);
    if (!done) return std::unexpected(done.error());
    if (*done) return status;
    return timeout_error("pane " + pane.pane_id + "'s program did not end within " +
                         seconds_phrase(timeout));
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
           ", history_size=" + std::to_string(s.history_size) +
           ")";
}

}  // namespace termloom::screen_ops
