// Shared steps of the operations: running a tmux command line and turning
// a failed start or exit into the operation's error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/error.hpp"
#include "../core/host_command.hpp"
#include "../core/process.hpp"
#include "../core/server_socket.hpp"
#include "../core/tmux_command.hpp"
#include "../core/tmux_release.hpp"
#include "handles.hpp"

namespace termloom {

// In all three, an interruption passes through and an exit status that could
// not be read is a runtime error ("could not read the exit status of tmux: ").

// The error of a failed run of another kind than tmux's (a transport's,
// an interruption, a lost status), as the operations report it.
std::unexpected<Error> run_error(const RunError& error);

// A status run; a failed start is false.
Result<bool> status_of(const HostCommand& command);

// An output run whose start failure becomes `spawn_prefix` + the system's
// text; `input` is fed to its standard input.
Result<CommandOutput> output_of(const HostCommand& command, Capture capture,
                                std::string_view spawn_prefix, std::string_view input = {});

// The same, but for readers whose every failure of tmux is an empty result:
// the output when the child started and exited with 0, nothing otherwise.
Result<std::optional<CommandOutput>> successful_output(const HostCommand& command,
                                                       Capture capture);

// The decoded standard output of a reader's run, or nothing when tmux could
// not start or failed.
Result<std::optional<std::string>> successful_stdout(const HostCommand& command);

// The release of the tmux that serves `socket` (the tmux on PATH, or the
// remote host's; core/tmux_release.hpp), asked once.
Result<TmuxRelease> release_on_host(const SocketPath& socket);

// `text` as format_text (core/tmux_command.hpp) writes it for that tmux,
// whose release is asked only when the text holds what releases read apart.
Result<FormatText> format_text_on_host(const SocketPath& socket, std::string_view text);

// The absolute path of that tmux, on its host ("tmux" when none is known).
Result<std::string> tmux_program_on_host(const SocketPath& socket);

// Whether that tmux takes -f on its list commands, for filtered_listing
// (core/tmux_command.hpp).
Result<bool> lists_take_filter(const SocketPath& socket);

// The text of a capture-pane -J (`joined`: its screen lines), without the
// spaces that releases before 3.2 pad each line with.
Result<std::string> unpadded_capture(const SocketPath& socket, std::string_view joined);

// The non-empty lines of `text`: the lines of a filtered listing's objects.
std::vector<std::string_view> listed_lines(std::string_view text);

// The trimmed text, or nothing when only white space is left.
std::optional<std::string> trimmed_value(std::string_view text);

inline constexpr std::string_view kSpawnPrefix = "failed to run tmux: ";
// The Server operations that raise spell it with a capital letter.
inline constexpr std::string_view kServerSpawnPrefix = "Failed to run tmux: ";

// `prefix` followed by the child's decoded standard error, trimmed or whole.
enum class Stderr { Trimmed, Whole };
std::unexpected<Error> tmux_failure(std::string_view prefix, const CommandOutput& output,
                                    Stderr form);

// The action run of the pane operations: standard error collected; true on
// success, otherwise `failure_prefix` and tmux's trimmed standard error.
Result<bool> action_run(const HostCommand& command, std::string_view failure_prefix);

// The session or window that a look-up by exact name (and index) found:
// its id, which tmux resolves strictly, for the command that acts on it.
struct Lookup {
    std::string id;        // "$N" for a session, "@N" for a window; empty when not found
    bool started = true;   // false: tmux could not be started
    std::string failure;   // when not found: the system's error text, tmux's
                           // standard error, or tmux's words for the missing object
    bool found() const { return !id.empty(); }
};

// One tmux run: list-sessions printing the id of the session named exactly
// `session_name`, then, with an `index`, list-windows printing
// `window_format` for that window of it; read with listed_lines, the lines
// tell a missing session from a missing window.
Result<HostCommand> exact_listing(const SocketPath& socket,
                                               std::string_view session_name,
                                               std::optional<std::uint32_t> index,
                                               std::string_view window_format);

// The session named exactly `session_name`: one tmux run, none for a name
// no session can have. Only an interruption or a lost exit status is an error.
Result<Lookup> find_session(const SocketPath& socket, std::string_view session_name);

// Window `index` of the session named exactly `session_name`, likewise.
Result<Lookup> find_window(const SocketPath& socket, std::string_view session_name,
                           std::uint32_t index);

// The error of a raising member whose look-up found nothing: the spawn
// prefix and the system's text when tmux did not start, otherwise `prefix`
// and the failure, trimmed or whole.
std::unexpected<Error> lookup_failure(const Lookup& lookup, std::string_view prefix, Stderr form,
                                      std::string_view spawn_prefix = kSpawnPrefix);

// A ValueError for a server address of a scheme termloom does not know
// (core/server_address.hpp): the handles' constructors refuse it.
Result<void> known_address(const SocketPath& socket);

// For every run that may start a server (new-session, start-server, ...):
// tmux starting a server removes whatever is at the socket path. A path
// that exists and is not a socket is refused, naming the path, before
// anything runs (on the tmux host, in the same run). The default server's
// path is tmux's to choose and is not looked at.
HostCommand starting_server(HostCommand command);

// The output (both streams) of a run that makes a session, run
// again while tmux reached a server that ended before it answered ("server
// exited unexpectedly"): one whose last session had just gone, on its way
// out. Nothing asked of such a server remains, so the next run starts one.
Result<CommandOutput> output_starting_server(HostCommand command, std::string_view spawn_prefix);

// What the socket path of `socket` holds on its host (Absent for the
// default server).
Result<SocketPathState> socket_state_on_host(const SocketPath& socket);

// The seven fields of a metadata line (a window's or a session's): the name,
// second, is free text that may hold "|"; no other field can. Fewer fields
// when the line has too few separators.
inline constexpr std::size_t kMetadataFieldCount = 7;
std::vector<std::string_view> metadata_fields(std::string_view line);

// "bad <label> <quoted field>: <reason>", for a field that failed to parse.
std::unexpected<Error> bad_field(std::string_view label, std::string_view field,
                                 std::string_view reason);

}  // namespace termloom
