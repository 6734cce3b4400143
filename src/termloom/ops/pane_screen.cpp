// Screen snapshots, and the two screen waits.
#include <algorithm>
#include <utility>

#include "../core/printable_text.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "pane_stream.hpp"
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

}  // namespace

Result<PaneView> view_pane(const Pane& pane, ViewOptions options) {
    std::vector<Arg> args(options.before.begin(), options.before.end());
    if (!args.empty()) args.push_back(command_separator());
    args.insert(args.end(), {word("capture-pane"), word("-p")});
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
        // Each command of the run that names the pane says so: the first is enough.
        const std::string error = decode_lossy(std::move(output->stderr_bytes));
        const std::string_view first = trim(error);
        view.gone = std::string(first.substr(0, first.find('\n')));
        return view;
    }
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    std::string_view all = without_line_end(text);
    for (std::size_t i = 0; i < options.before_lines; ++i) {
        const std::size_t line_end = all.find('\n');
        if (line_end == std::string_view::npos) {
            return runtime_error("unexpected tmux output: " + quote_text(all));
        }
        view.before.emplace_back(all.substr(0, line_end));
        all.remove_prefix(line_end + 1);
    }
    const std::size_t cut = all.rfind('\n');
    auto parsed = parse_state(all.substr(cut == std::string_view::npos ? 0 : cut + 1), view);
    if (!parsed) return std::unexpected(parsed.error());
    std::string_view screen = cut == std::string_view::npos ? std::string_view() : all.substr(0, cut);
    if (options.joined) {
        auto unpadded = unpadded_capture(pane.socket, screen);
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

Result<bool> on_remote_host(const Pane& pane) {
    auto host = host_of(pane.socket);
    if (!host) return value_error(std::move(host.error().text));
    return host->remote();
}

namespace {

constexpr auto kRemoteLookEvery = std::chrono::milliseconds(500);

bool is_remote(const Pane& pane) {
    auto host = parse_server_address(pane.socket);
    return host && host->remote();
}

}  // namespace

ProcessEnd::ProcessEnd(const Pane& pane, pid_t pid)
    : pid_(pid), remote_(is_remote(pane)), watch_(remote_ ? 0 : pid),
      next_(WaitClock::now() + kRemoteLookEvery) {}

bool ProcessEnd::maybe_ended() {
    if (!remote_) return watch_.ended();
    const auto now = WaitClock::now();
    if (now < next_) return false;
    next_ = now + kRemoteLookEvery;
    return true;
}

Result<PaneWake> PaneWake::of(const Pane& pane, const PaneView& view) {
    auto remote = on_remote_host(pane);
    if (!remote) return std::unexpected(remote.error());
    PaneWake wake;
    if (!*remote) {
        wake.sources_ = WakeSources{view.tty, view.pid, {}};
        return wake;
    }
    auto live = streams::find(stream_key(pane));
    if (!live) {
        auto seen = marked_view(pane, {});
        if (!seen) return std::unexpected(seen.error());
        if (seen->mark) live = seen->mark->stream;
    }
    if (live) {
        wake.watch_ = std::make_unique<streams::Watch>(*live);
        wake.sources_.readable = {wake.watch_->fd()};
    }
    return wake;
}

void PaneWake::clear() {
    if (watch_) watch_->clear();
}

Result<bool> wait_on_pane(const Pane& pane, const PaneView& view,
                          std::optional<WaitClock::time_point> deadline,
                          const std::function<Result<Look>()>& look) {
    auto wake = PaneWake::of(pane, view);
    if (!wake) return std::unexpected(wake.error());
    return wait_until(deadline, wake->sources(), [&]() -> Result<Look> {
        wake->clear();
        return look();
    });
}

std::string last_screen_lines(std::string_view text, std::string_view label,
                              std::string_view empty) {
    std::vector<std::string_view> kept;
    for (std::string_view line : split_lines(text)) {
        if (!trim(line).empty()) kept.push_back(line);
    }
    if (kept.empty()) return "; " + std::string(empty);
    std::string out = "; " + std::string(label) + ":";
    for (std::size_t i = kept.size() > kTimeoutLines ? kept.size() - kTimeoutLines : 0; i < kept.size(); ++i) {
        out += '\n';
        out += kept[i];
    }
    return out;
}

Result<Screen> screen(const Pane& pane, bool escapes, bool styles) {
    if (styles) return styled_screen(pane, escapes);
    auto seen = marked_view(pane, {.escapes = escapes});
    if (!seen) return std::unexpected(seen.error());
    if (!seen->view.gone.empty()) return runtime_error("screen failed: " + seen->view.gone);
    Screen screen = std::move(seen->view.screen);
    screen.mark = seen->mark;
    return screen;
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

// What a wait looks at in one view: the screen as written or, after a line
// mark, only the lines from it on.
struct Sight {
    Screen screen;      // the visible screen, as Screen.text documents it
    std::string text;   // what the pattern is matched against
    bool complete = true;  // false: history grew past the capture; look again at once
};

// Before 3.4 tmux cannot leave out the blank cells nobody wrote (-T), and
// 3.1c pads every line to the pane's width: the lines are matched without
// trailing blanks, but on the cursor's line the blanks before the cursor
// were written (a prompt's "$ ").
std::string written_before_3_4(std::string_view captured, std::size_t cursor_line,
                               std::uint32_t cursor_x) {
    const CharacterWidths widths;
    std::string out;
    std::size_t index = 0;
    for (std::size_t at = 0; at <= captured.size(); ++index) {
        std::size_t end = captured.find('\n', at);
        if (end == std::string_view::npos) end = captured.size();
        const std::string_view whole = captured.substr(at, end - at);
        std::string line = without_trailing_blanks(whole);
        if (index == cursor_line) {
            // The bytes of the first cursor_x cells of the captured line.
            std::size_t taken = 0;
            std::uint32_t cells = 0;
            while (taken < whole.size() && cells < cursor_x) {
                const auto lead = static_cast<unsigned char>(whole[taken]);
                const std::size_t length = std::min<std::size_t>(
                    lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2, whole.size() - taken);
                char32_t c = length == 1 ? lead : lead & (0x7F >> length);
                for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (whole[taken + k] & 0x3F);
                cells += static_cast<std::uint32_t>(widths.columns(c));
                taken += length;
            }
            if (taken > line.size()) line = std::string(whole.substr(0, taken));
        }
        out += line;
        if (end < captured.size()) out += '\n';
        at = end + 1;
    }
    return out;
}

Result<Sight> sight(const Pane& pane, const std::optional<std::uint64_t>& after, bool only_written,
                    std::uint64_t& history_guess, bool marked) {
    ViewOptions options{.as_written = true, .only_written = only_written};
    if (after) {
        options.lines_above = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(history_guess > *after ? history_guess - *after : 0, UINT32_MAX));
    }
    PaneView view;
    std::optional<StreamMark> mark;
    if (marked) {
        auto seen = live_marked_view(pane, options);
        if (!seen) return std::unexpected(seen.error());
        view = std::move(seen->view);
        mark = seen->mark;
    } else {
        auto seen = live_view(pane, options);
        if (!seen) return std::unexpected(seen.error());
        view = std::move(*seen);
    }
    Sight seen;
    seen.screen = std::move(view.screen);
    seen.screen.mark = mark;
    const std::string_view visible = last_rows(view.written, seen.screen.height);
    seen.screen.text = without_trailing_blanks(visible);
    const std::uint64_t history = view.history_size;
    history_guess = history;
    const std::size_t captured_lines =
        static_cast<std::size_t>(std::count(view.written.begin(), view.written.end(), '\n')) +
        (view.written.empty() || view.written.back() == '\n' ? 0 : 1);
    const std::size_t cursor_line =
        captured_lines - std::min<std::size_t>(captured_lines, seen.screen.height) + seen.screen.cursor_y;
    const std::string written = only_written ? std::move(view.written)
                                             : written_before_3_4(view.written, cursor_line,
                                                                  seen.screen.cursor_x);
    if (!after) {
        seen.text = written;
        return seen;
    }
    if (seen.screen.alternate) {
        return runtime_error("pane " + pane.pane_id + " shows its alternate screen: a line count "
                             "cannot tell new output from old; pass a Screen");
    }
    // A full history drops a tenth of its lines at a time, and every line
    // number moves with them.
    if (view.history_limit > 0 && history + view.history_limit / 10 + 1 >= view.history_limit) {
        return runtime_error("pane " + pane.pane_id + "'s history is full (history-limit " +
                             std::to_string(view.history_limit) +
                             "): lines may have been dropped, so a line count cannot tell new "
                             "output from old; pass a Screen");
    }
    // The capture's first line, counted from the top of the history.
    const std::uint64_t first = history - std::min<std::uint64_t>(options.lines_above, history);
    if (first > *after) {
        seen.complete = false;
        return seen;
    }
    auto lines = split_lines(written);
    for (std::size_t index = static_cast<std::size_t>(*after - first); index < lines.size(); ++index) {
        if (!seen.text.empty() || first + index != *after) seen.text += '\n';
        seen.text += lines[index];
    }
    return seen;
}

}  // namespace

Result<Screen> wait_for(const Pane& pane, const TextMatcher& pattern,
                        std::optional<Seconds> timeout, std::optional<OutputMark> after) {
    if (after && after->screen) {
        if (!after->screen->mark) {
            return runtime_error("pane " + pane.pane_id + ": the Screen given as after holds no "
                                 "place in the pane's output stream (it was taken while the pane "
                                 "printed or a run or wait read that stream, or its output is "
                                 "piped elsewhere), so new output cannot be told from old");
        }
        return wait_in_stream(pane, pattern, timeout, *after->screen->mark);
    }
    const std::optional<std::uint64_t> line =
        after ? std::optional<std::uint64_t>(after->line) : std::nullopt;
    const auto deadline = deadline_after(timeout);
    auto first = live_view(pane, {});
    if (!first) return std::unexpected(first.error());
    // -T (3.4 and later) leaves out the blank cells nobody wrote.
    auto release = release_on_host(pane.socket);
    if (!release) return std::unexpected(release.error());
    const bool only_written = release->at_least(3, 4);
    std::uint64_t history_guess = first->history_size;
    Screen last;
    std::string last_text;
    bool fresh = true;
    auto matches = [&](const std::string& text) -> Result<bool> {
        // Lines are matched with and without their trailing blanks, so
        // "100\n" matches as well as "$ ".
        auto matched = pattern.matches(text);
        if (matched && !*matched) matched = pattern.matches(without_trailing_blanks(text));
        return matched;
    };
    auto look = [&]() -> Result<Look> {
        auto seen = sight(pane, line, only_written, history_guess, false);
        if (seen && !seen->complete) seen = sight(pane, line, only_written, history_guess, false);
        if (!seen) return std::unexpected(seen.error());
        last = std::move(seen->screen);
        if (!seen->complete || (!fresh && seen->text == last_text)) return Look{Progress::Unchanged, {}};
        fresh = false;
        last_text = std::move(seen->text);
        auto matched = matches(last_text);
        if (!matched) return std::unexpected(matched.error());
        if (!*matched) return Look{Progress::Changed, {}};
        // The screen returned is one more look, with a place in the pane's
        // output stream, when it still matches (so it can mark the next wait).
        auto confirmed = sight(pane, line, only_written, history_guess, true);
        if (!confirmed) return std::unexpected(confirmed.error());
        if (confirmed->complete) {
            auto still = matches(confirmed->text);
            if (!still) return std::unexpected(still.error());
            if (*still) {
                last = std::move(confirmed->screen);
                return Look{Progress::Done, {}};
            }
            // What the pattern is matched against next is this look's text:
            // the matched one may come back, and must be matched then.
            last = std::move(confirmed->screen);
            last_text = std::move(confirmed->text);
        } else {
            fresh = true;
        }
        return Look{Progress::Changed, {}};
    };
    auto done = wait_on_pane(pane, *first, deadline, look);
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
        const bool due = WaitClock::now() - since >= quiet_time;
        if (!fresh || due) {
            // The last look before returning gives the screen a place in
            // the pane's output stream (so it can mark the next wait).
            std::optional<StreamMark> mark;
            PaneView view;
            if (due) {
                auto seen = live_marked_view(pane, {});
                if (!seen) return std::unexpected(seen.error());
                view = std::move(seen->view);
                mark = seen->mark;
            } else {
                auto seen = live_view(pane, {});
                if (!seen) return std::unexpected(seen.error());
                view = std::move(*seen);
            }
            if (!same(view.screen, last)) {
                last = std::move(view.screen);
                since = WaitClock::now();
                return Look{Progress::Changed, since + quiet_time};
            }
            if (due) {
                last.mark = mark;
                return Look{Progress::Done, {}};
            }
        }
        fresh = false;
        return Look{Progress::Unchanged, since + quiet_time};
    };
    auto done = wait_on_pane(pane, *first, deadline, look);
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
