#include "run_tmux.hpp"

#include <optional>

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
    }
    message += error.text;
    return runtime_error(std::move(message));
}

std::string_view program_of(const std::vector<std::string>& argv) {
    return argv.empty() ? std::string_view() : std::string_view(argv.front());
}

}  // namespace

Result<bool> status_of(const std::vector<std::string>& argv) {
    auto ran = run_status(argv);
    if (!ran) return run_failure(ran.error(), program_of(argv), kSpawnPrefix);  // no Spawn here
    return *ran;
}

Result<CommandOutput> output_of(const std::vector<std::string>& argv, Capture capture,
                                std::string_view spawn_prefix) {
    auto ran = run_output(argv, capture);
    if (!ran) return run_failure(ran.error(), program_of(argv), spawn_prefix);
    return std::move(*ran);
}

Result<std::optional<CommandOutput>> successful_output(const std::vector<std::string>& argv,
                                                       Capture capture) {
    auto ran = run_output(argv, capture);
    if (!ran) {
        if (ran.error().kind == RunError::Kind::Spawn) return std::nullopt;
        return run_failure(ran.error(), program_of(argv), kSpawnPrefix);
    }
    if (!succeeded(*ran)) return std::nullopt;
    return std::optional<CommandOutput>(std::move(*ran));
}

Result<std::optional<std::string>> successful_stdout(const std::vector<std::string>& argv) {
    auto output = successful_output(argv, Capture::Stdout);
    if (!output) return std::unexpected(output.error());
    if (!*output) return std::nullopt;
    return decode_lossy(std::move((*output)->stdout_bytes));
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

std::unexpected<Error> session_not_found(std::string_view prefix, std::string_view session_name) {
    std::string message(prefix);
    message += trim(no_such_session(session_name));
    return runtime_error(std::move(message));
}

Result<bool> action_run(const std::vector<std::string>& argv, std::string_view failure_prefix) {
    auto output = output_of(argv, Capture::Stderr, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(failure_prefix, *output, Stderr::Trimmed);
    return true;
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
