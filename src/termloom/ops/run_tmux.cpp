#include "run_tmux.hpp"

#include <algorithm>
#include <iterator>
#include <optional>

#include "../core/server_socket.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"

namespace termloom {
namespace {

// A lost exit status is an error for every operation alike: a status run's
// False or a reader's empty result would report an answer tmux never gave.
// `program` names what ran: ps as well as tmux.
std::unexpected<Error> run_failure(const RunError& error, std::string_view program,
                                   std::string_view spawn_prefix) {
    std::string message;
    switch (error.kind) {
    case RunError::Kind::Interrupted:
        return interrupted();
    case RunError::Kind::Lost:
        message = "could not read the exit status of ";
        message += program;
        message += ": ";
        break;
    case RunError::Kind::Spawn:
        message = spawn_prefix;
        break;
    case RunError::Kind::Transport:
        break;
    case RunError::Kind::Address:
        return value_error(error.text);
    case RunError::Kind::Refused:
        return runtime_error("refusing to start a tmux server: " + quote_text(error.text) +
                             " exists and is not a socket");
    case RunError::Kind::Connection:
        break;
    }
    message += error.text;
    return runtime_error(std::move(message));
}

std::string_view program_of(const HostCommand& command) {
    return command.argv.empty() ? std::string_view() : std::string_view(command.argv.front());
}

}  // namespace

std::unexpected<Error> run_error(const RunError& error) {
    return run_failure(error, "ps", kSpawnPrefix);
}

Result<bool> status_of(const HostCommand& command) {
    auto ran = run_status_on_host(command);
    if (!ran) return run_failure(ran.error(), program_of(command), kSpawnPrefix);  // no Spawn here
    return *ran;
}

Result<CommandOutput> output_of(const HostCommand& command, Capture capture,
                                std::string_view spawn_prefix, std::string_view input) {
    auto ran = run_output_on_host(command, capture, input);
    if (!ran) return run_failure(ran.error(), program_of(command), spawn_prefix);
    return std::move(*ran);
}

Result<std::optional<CommandOutput>> successful_output(const HostCommand& command,
                                                       Capture capture) {
    auto ran = run_output_on_host(command, capture);
    if (!ran) {
        if (ran.error().kind == RunError::Kind::Spawn) return std::nullopt;
        return run_failure(ran.error(), program_of(command), kSpawnPrefix);
    }
    if (!succeeded(*ran)) return std::nullopt;
    return std::optional<CommandOutput>(std::move(*ran));
}

Result<std::optional<std::string>> successful_stdout(const HostCommand& command) {
    auto output = successful_output(command, Capture::Stdout);
    if (!output) return std::unexpected(output.error());
    if (!*output) return std::nullopt;
    return decode_lossy(std::move((*output)->stdout_bytes));
}

Result<TmuxRelease> release_on_host(const SocketPath& socket) {
    // Here, as before: no more than the release is looked for.
    auto host = host_of(socket);
    if (host && !host->remote()) {
        auto release = tmux_release();
        if (!release) return run_failure(release.error(), "tmux", kSpawnPrefix);
        return std::move(*release);
    }
    auto tmux = host_tmux(socket);
    if (!tmux) return run_failure(tmux.error(), "tmux", kSpawnPrefix);
    return std::move(tmux->release);
}

Result<FormatText> format_text_on_host(const SocketPath& socket, std::string_view text) {
    if (!format_text_needs_release(text)) return format_text(text, TmuxRelease{});
    auto release = release_on_host(socket);
    if (!release) return std::unexpected(release.error());
    return format_text(text, *release);
}

Result<std::string> tmux_program_on_host(const SocketPath& socket) {
    auto tmux = host_tmux(socket);
    if (!tmux) return run_failure(tmux.error(), "tmux", kSpawnPrefix);
    return tmux->path.value_or("tmux");
}

Result<bool> lists_take_filter(const SocketPath& socket) {
    auto release = release_on_host(socket);
    if (!release) return std::unexpected(release.error());
    return lists_take_filter(*release);
}

Result<std::string> unpadded_capture(const SocketPath& socket, std::string_view joined) {
    auto release = release_on_host(socket);
    if (!release) return std::unexpected(release.error());
    if (joined_capture_pads(*release)) return without_trailing_spaces(joined);
    return std::string(joined);
}

std::vector<std::string_view> listed_lines(std::string_view text) {
    std::vector<std::string_view> lines = split_lines(text);
    std::erase_if(lines, [](std::string_view line) { return line.empty(); });
    return lines;
}

std::optional<std::string> trimmed_value(std::string_view text) {
    std::string_view value = trim(text);
    if (value.empty()) return std::nullopt;
    return std::string(value);
}

std::unexpected<Error> tmux_failure(std::string_view prefix, const CommandOutput& output,
                                    Stderr form) {
    std::string text = decode_lossy(output.stderr_bytes);
    std::string message(prefix);
    message += form == Stderr::Trimmed ? trim(text) : std::string_view(text);
    return runtime_error(std::move(message));
}

Result<bool> action_run(const HostCommand& command, std::string_view failure_prefix) {
    auto output = output_of(command, Capture::Stderr, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(failure_prefix, *output, Stderr::Trimmed);
    return true;
}

namespace {

// Runs a look-up whose output is one id per line, in `wanted` order: the
// session's id, then (for a window) the window's. Fewer lines: not found.
Result<Lookup> look_up(const HostCommand& command, std::size_t wanted,
                       std::string missing_session, std::string missing_window) {
    auto ran = run_output_on_host(command, Capture::Both);
    if (!ran) {
        if (ran.error().kind != RunError::Kind::Spawn) {
            return run_failure(ran.error(), program_of(command), kSpawnPrefix);
        }
        return Lookup{.id = {}, .started = false, .failure = std::move(ran.error().text)};
    }
    if (!succeeded(*ran)) {
        return Lookup{.id = {}, .started = true, .failure = decode_lossy(ran->stderr_bytes)};
    }
    const std::string text = decode_lossy(std::move(ran->stdout_bytes));
    auto ids = listed_lines(text);
    if (ids.empty()) return Lookup{{}, true, std::move(missing_session)};
    if (ids.size() < wanted) return Lookup{{}, true, std::move(missing_window)};
    return Lookup{std::string(ids[wanted - 1]), true, {}};
}

}  // namespace

Result<HostCommand> exact_listing(const SocketPath& socket,
                                               std::string_view session_name,
                                               std::optional<std::uint32_t> index,
                                               std::string_view window_format) {
    auto release = release_on_host(socket);
    if (!release) return std::unexpected(release.error());
    const bool filters = lists_take_filter(*release);
    const std::string in_session = session_filter(session_name, *release);
    std::string session_format;
    std::vector<Arg> args = {word("list-sessions")};
    std::ranges::copy(filtered_listing(session_format, in_session, "#{session_id}", filters),
                      std::back_inserter(args));
    if (!index) return tmux_argv(socket, args);
    const std::string in_window = window_filter(session_name, *index, *release);
    std::string window_listing_format;
    args.insert(args.end(), {command_separator(), word("list-windows"), word("-a")});
    std::ranges::copy(filtered_listing(window_listing_format, in_window, window_format, filters),
                      std::back_inserter(args));
    return tmux_argv(socket, args);
}

Result<Lookup> find_session(const SocketPath& socket, std::string_view session_name) {
    if (!session_name_addressable(session_name)) {
        return Lookup{{}, true, no_such_session(session_name)};
    }
    auto listing = exact_listing(socket, session_name, std::nullopt, {});
    if (!listing) return std::unexpected(listing.error());
    return look_up(*listing, 1, no_such_session(session_name), {});
}

Result<Lookup> find_window(const SocketPath& socket, std::string_view session_name,
                           std::uint32_t index) {
    if (!session_name_addressable(session_name)) {
        return Lookup{{}, true, no_such_session(session_name)};
    }
    // The session's id first, so that a missing session and a missing
    // window tell themselves apart.
    auto listing = exact_listing(socket, session_name, index, "#{window_id}");
    if (!listing) return std::unexpected(listing.error());
    return look_up(*listing, 2, no_such_session(session_name), no_such_window(index));
}

std::unexpected<Error> lookup_failure(const Lookup& lookup, std::string_view prefix, Stderr form,
                                      std::string_view spawn_prefix) {
    std::string message(lookup.started ? prefix : spawn_prefix);
    message += lookup.started && form == Stderr::Trimmed ? trim(lookup.failure)
                                                         : std::string_view(lookup.failure);
    return runtime_error(std::move(message));
}

Result<void> known_address(const SocketPath& socket) {
    if (auto host = parse_server_address(socket); !host) return value_error(std::move(host.error()));
    return {};
}

HostCommand starting_server(HostCommand command) {
    command.starts_server = true;
    return command;
}

Result<CommandOutput> output_starting_server(HostCommand command, std::string_view spawn_prefix) {
    constexpr std::string_view kServerEnded = "server exited unexpectedly\n";
    constexpr int kTries = 5;
    command.starts_server = true;
    for (int tried = 1;; ++tried) {
        auto output = output_of(command, Capture::Both, spawn_prefix);
        if (!output || succeeded(*output) || tried == kTries || !output->stdout_bytes.empty() ||
            output->stderr_bytes != kServerEnded) {
            return output;
        }
    }
}

Result<SocketPathState> socket_state_on_host(const SocketPath& socket) {
    auto host = host_of(socket);
    if (!host) return run_failure(host.error(), "tmux", kSpawnPrefix);
    if (!host->socket) return SocketPathState::Absent;
    if (!host->remote()) return socket_path_state(*host->socket);
    auto ran = output_of(
        HostCommand{socket, {"sh", "-c",
                             "if [ -S \"$1\" ];then echo socket;elif [ -L \"$1\" ]||[ -e \"$1\" ];"
                             "then echo other;else echo absent;fi",
                             "sh", *host->socket}},
        Capture::Stdout, kSpawnPrefix);
    if (!ran) return std::unexpected(ran.error());
    const std::string_view said = trim(ran->stdout_bytes);
    if (said == "socket") return SocketPathState::Socket;
    if (said == "other") return SocketPathState::Other;
    return SocketPathState::Absent;
}

std::vector<std::string_view> metadata_fields(std::string_view line) {
    return split_record(line, '|', kMetadataFieldCount, 1);
}

std::unexpected<Error> bad_field(std::string_view label, std::string_view field,
                                 std::string_view reason) {
    std::string message = "bad ";
    message += label;
    message += ' ';
    message += quote_text(field);
    message += ": ";
    message += reason;
    return runtime_error(std::move(message));
}

}  // namespace termloom
