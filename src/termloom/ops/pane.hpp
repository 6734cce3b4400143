// What a Pane handle does. Every command names the pane by its id alone.
// Failures raise, except the readers (capture, current_command,
// current_commandline), which give None.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/error.hpp"
#include "../core/wait.hpp"
#include "handles.hpp"

namespace termloom::pane_ops {

// Listings and split-window -P print a pane per line this way.
inline constexpr std::string_view kListFormat = "#{pane_index}|#{pane_id}|#{pane_title}";

// Index, id and title of a listing line; the title is the rest of the line,
// whatever it holds. None when the line has too few fields.
std::optional<std::array<std::string_view, 3>> listing_fields(std::string_view line);

Result<Pane> make(std::string session_name, std::uint32_t window_index, std::uint32_t pane_index,
          std::string pane_id, std::string title, SocketPath socket);

// Layout and the process in the pane.
Result<bool> kill(const Pane& pane);
Result<bool> select(const Pane& pane);
Result<bool> resize(const Pane& pane, std::string direction, std::uint32_t amount);
// With `keep`, the command runs under `sh -lc`, which then execs $SHELL:
// the pane stays. `size` in cells or `percent` of the pane; the new pane's
// start directory, environment and history-limit.
Result<Pane> split(const Pane& pane, bool horizontal, std::optional<std::string> command,
                   bool keep, std::optional<std::uint32_t> size, std::optional<std::uint32_t> percent,
                   std::optional<std::string> directory, std::optional<Environment> environment,
                   std::optional<std::uint32_t> history_limit);
Result<bool> respawn(const Pane& pane, std::optional<std::string> command, bool kill);
Result<bool> bash_shell(const Pane& pane, bool respawn);
Result<void> rename(Pane& pane, std::string title);

// Input and inspection.
Result<bool> send_keys(const Pane& pane, std::string keys, bool enter, bool clear_first);
Result<bool> clear(const Pane& pane);
Result<std::optional<std::string>> capture(const Pane& pane, bool trim,
                                           std::optional<std::uint32_t> scroll_back, bool full);
Result<bool> is_alive(const Pane& pane);
Result<std::optional<std::string>> current_command(const Pane& pane);
Result<std::optional<std::string>> current_commandline(const Pane& pane);
LastCommand last_command(const Pane& pane);

// Driving the program in the pane: literal text, snapshots, waits, and a
// shell command run to its end.
Result<bool> send_text(const Pane& pane, std::string text, bool enter);
Result<Screen> screen(const Pane& pane, bool escapes, bool styles);
// Only text written after `after` (a screen's cursor, a line) can match.
Result<Screen> wait_for(const Pane& pane, const TextMatcher& pattern,
                        std::optional<Seconds> timeout, std::optional<OutputMark> after);
// The exit status of the pane's program once it has ended; none when tmux
// does not know it (the pane is gone).
Result<std::optional<std::uint32_t>> wait_exit(const Pane& pane, std::optional<Seconds> timeout);
Result<Screen> wait_quiet(const Pane& pane, Seconds quiet, std::optional<Seconds> timeout);
// The next match of `pattern` in what the pane's programs wrote since the
// previous expect (or since `after`, a Screen), as plain text.
Result<Expectation> expect(const Pane& pane, const TextMatcher& pattern,
                           std::optional<Seconds> timeout, std::optional<OutputMark> after);
Result<CommandResult> run(const Pane& pane, std::string command, std::optional<Seconds> timeout);
// The text through a private tmux buffer, bracketed for programs that ask.
Result<bool> paste(const Pane& pane, std::string text, bool bracketed);

// Everything the pane's programs write, as an asciicast v2 file at `path`,
// from its output stream; stopping waits until the file is complete.
// Stopping a pane that records nothing is false.
Result<bool> record(const Pane& pane, std::string path);
Result<bool> stop_recording(const Pane& pane);

std::string repr(const Pane& pane);

}  // namespace termloom::pane_ops

namespace termloom::screen_ops {

std::string repr(const Screen& screen);

}  // namespace termloom::screen_ops

namespace termloom::expectation_ops {

std::string repr(const Expectation& expectation);

}  // namespace termloom::expectation_ops

namespace termloom::command_result_ops {

std::string repr(const CommandResult& result);

}  // namespace termloom::command_result_ops

namespace termloom::last_command_ops {

Result<std::string> read(const LastCommand& last);
Result<bool> run(const LastCommand& last);
std::string repr(const LastCommand& last);

}  // namespace termloom::last_command_ops
