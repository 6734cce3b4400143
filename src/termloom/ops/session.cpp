#include "session.hpp"

#include <algorithm>
#include <deque>
#include <iterator>

#include "../core/connections.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane_spawn.hpp"
#include "run_tmux.hpp"
#include "window.hpp"

namespace termloom::session_ops {
namespace {

const std::string kRenameFailed = "rename session failed: ";

constexpr std::string_view kMetadataFormat =
    "#{session_id}|#{session_name}|#{session_created}|#{session_attached}|"
    "#{session_width}|#{session_height}|#{session_windows}";

// Width and height are optional: anything but a number reads as unknown.
std::optional<std::uint32_t> optional_size(std::string_view field) {
    auto parsed = parse_u32(trim(field));
    if (!parsed) return std::nullopt;
    return *parsed;
}

// The rename, then the name tmux stored for the session, which may differ
// from the one given. One tmux process. Where the listing cannot be filtered,
// the name is printed escaped, on one line among the empty ones of the other
// sessions.
HostCommand rename_and_read_back(const SocketPath& socket, const std::string& id,
                                 const FormatText& new_name, bool filters) {
    const std::string this_session = "#{==:#{session_id}," + id + "}";
    const std::string name_format = filters ? "#{session_name}" : escaped_format("session_name");
    std::string written;
    std::vector<Arg> args = {word("rename-session"), word("-t"), value(id),
                             name_operand(new_name), command_separator(), word("list-sessions")};
    std::ranges::copy(filtered_listing(written, this_session, name_format, filters),
                      std::back_inserter(args));
    return tmux_argv(socket, args);
}

// The name that rename_and_read_back printed; empty when the session is gone.
std::string stored_name(std::string text, bool filters) {
    if (filters) {
        text.resize(without_line_end(text).size());
        return text;
    }
    const auto lines = listed_lines(text);
    if (lines.empty()) return {};
    return restored_text(lines.front()).value_or(std::string());
}

}  // namespace

Result<Session> make(std::string name, SocketPath socket) {
    if (auto known = known_address(socket); !known) return std::unexpected(known.error());
    return Session{std::move(name), std::move(socket)};
}

Result<bool> kill(const Session& session) {
    auto found = find_session(session.socket, session.name);
    if (!found) return std::unexpected(found.error());
    if (!found->found()) return false;
    return status_of(tmux_argv(session.socket, {word("kill-session"), word("-t"), value(found->id)}));
}

Result<void> end_of_block(const Session& session) {
    auto killed = kill(session);
    if (!killed) return std::unexpected(killed.error());
    if (*killed) return {};
    auto found = find_session(session.socket, session.name);
    if (!found) return std::unexpected(found.error());
    if (!found->found()) return {};  // already gone: nothing left to end
    return runtime_error("kill session failed: session " + quote_text(session.name) +
                         " is still there");
}

Result<void> rename(Session& session, std::string new_name) {
    auto found = find_session(session.socket, session.name);
    if (!found) return std::unexpected(found.error());
    if (!found->found()) return lookup_failure(*found, kRenameFailed, Stderr::Whole);
    auto release = release_on_host(session.socket);
    if (!release) return std::unexpected(release.error());
    const bool filters = lists_take_filter(*release);
    const FormatText written = format_text(new_name, *release);
    auto output = output_of(rename_and_read_back(session.socket, found->id, written, filters),
                            Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(kRenameFailed, *output, Stderr::Whole);
    std::string stored = stored_name(decode_lossy(std::move(output->stdout_bytes)), filters);
    // Gone again right after the rename: the name given is all we know.
    session.name = stored.empty() ? std::move(new_name) : std::move(stored);
    return {};
}

namespace {

// #{session_attached} counts a connection's control client too (see
// core/connections.hpp): the session it was attached to when tmux listed
// the sessions is attached only if another client is.
bool attached_by_others(std::string_view id, std::string_view count) {
    if (count == "0") return false;
    if (count != "1") return true;
    return connections::attachment_of_last_run() != id;
}

}  // namespace

Result<SessionMetadata> metadata(const Session& session) {
    auto output = output_of(
        tmux_argv(session.socket, {word("list-sessions"), word("-F"), word(kMetadataFormat)}),
        Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure("tmux failed: ", *output, Stderr::Whole);

    std::string text = decode_lossy(std::move(output->stdout_bytes));
    for (std::string_view line : split_lines(text)) {
        auto fields = metadata_fields(trim(line));
        if (fields.size() != kMetadataFieldCount || fields[1] != session.name) continue;

        auto created = parse_u64(fields[2]);
        if (!created) return bad_field("session_created", fields[2], created.error());
        auto windows = parse_u32(fields[6]);
        if (!windows) return bad_field("session_windows", fields[6], windows.error());
        return SessionMetadata{
            .id = std::string(fields[0]),
            .name = std::string(fields[1]),
            .created = *created,
            .attached = attached_by_others(fields[0], fields[3]),
            .width = optional_size(fields[4]),
            .height = optional_size(fields[5]),
            .windows = *windows,
        };
    }
    return runtime_error("session " + quote_text(session.name) + " not found");
}

Result<std::vector<Window>> windows(const Session& session) {
    std::vector<Window> found;
    if (!session_name_addressable(session.name)) return found;
    auto release = release_on_host(session.socket);
    if (!release) return std::unexpected(release.error());
    std::string target, written;
    const std::string filter = session_filter(session.name, *release);
    std::vector<Arg> args = {word("list-windows")};
    std::ranges::copy(listing_scope(target, session.name), std::back_inserter(args));
    std::ranges::copy(filtered_listing(written, filter, window_ops::kListFormat,
                                       lists_take_filter(*release)),
                      std::back_inserter(args));
    auto text = successful_stdout(tmux_argv(session.socket, args));
    if (!text) return std::unexpected(text.error());
    if (!*text) return found;
    for (std::string_view line : split_lines(**text)) {
        if (auto window = window_ops::from_listing(line, session.name, session.socket)) {
            found.push_back(std::move(*window));
        }
    }
    return found;
}

Result<Window> new_window(const Session& session, std::optional<std::string> name,
                          std::optional<std::string> command, std::optional<std::string> directory,
                          std::optional<Environment> environment,
                          std::optional<std::uint32_t> history_limit) {
    constexpr std::string_view kFailed = "tmux new-window failed: ";
    auto start = start_directory(session.socket, directory);
    if (!start) return std::unexpected(start.error());
    auto found = find_session(session.socket, session.name);
    if (!found) return std::unexpected(found.error());
    if (!found->found()) return lookup_failure(*found, kFailed, Stderr::Trimmed);
    // "$ID:" with no index: the next free index in that session.
    const std::string window = found->id + ":";
    std::deque<std::string> texts;
    std::vector<Arg> args = {word("new-window"), word("-d"), word("-t"), value(window),
                             word("-P"), word("-F"), word(window_ops::kListFormat)};
    // tmux expands both the name and the start directory as formats.
    std::optional<FormatText> written_name;
    if (name) {
        auto written = format_text_on_host(session.socket, *name);
        if (!written) return std::unexpected(written.error());
        written_name = std::move(*written);
        args.insert(args.end(), {word("-n"), name_value(*written_name)});
    }
    add_start_directory(args, *start);
    add_environment(args, texts, environment);
    if (command) args.push_back(operand(*command));
    // The new pane reads the session's history-limit ("$ID:" names the
    // session to set-option as well).
    auto output = history_limit
                      ? create_with_history_limit(session.socket, HistoryLimitLevel{window},
                                                  *history_limit, args, kFailed, kSpawnPrefix)
                      : output_of(tmux_argv(session.socket, args), Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(kFailed, *output, Stderr::Trimmed);
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    std::string_view line = without_line_end(text);
    auto made = window_ops::from_listing(line, session.name, session.socket);
    if (!made) return runtime_error("unexpected new-window output: " + quote_text(line));
    return std::move(*made);
}

std::string repr(const Session& session) {
    return "Session(name=" + quote_text(session.name) +
           ", socket=" + display_optional(session.socket) + ")";
}

}  // namespace termloom::session_ops

namespace termloom::session_metadata_ops {

std::string repr(const SessionMetadata& r) {
    return "SessionMetadata(id=" + quote_text(r.id) + ", name=" + quote_text(r.name) +
           ", created=" + std::to_string(r.created) + ", attached=" + display_flag(r.attached) +
           ", width=" + display_optional(r.width) + ", height=" + display_optional(r.height) +
           ", windows=" + std::to_string(r.windows) + ")";
}

}  // namespace termloom::session_metadata_ops
