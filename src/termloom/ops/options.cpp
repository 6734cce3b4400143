// Options and environment of a server, session, window or pane. Each class
// names its level once (a Scope); the commands are the same for all.
#include "options.hpp"

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "option_tables.hpp"
#include "run_tmux.hpp"

namespace termloom {
namespace {

constexpr std::string_view kSetOptionFailed = "tmux set-option failed: ";
constexpr std::string_view kShowOptionFailed = "tmux show-options failed: ";
constexpr std::string_view kSetEnvironmentFailed = "tmux set-environment failed: ";
constexpr std::string_view kShowEnvironmentFailed = "tmux show-environment failed: ";

// Whose options a scope holds: the server's (with the global ones) or one
// object's, whose options are those of one table of tmux (or two: a pane
// has the window options that a pane may override).
enum class Owner { Server, Session, Window, Pane };

// The level flag ("-g", "-w", "-p", or none for a session's own) and the -t
// target. A session or window handle acts on the id that a look-up by its
// exact name and index found; when it found none, `missing` says why and
// nothing runs.
struct Scope {
    const SocketPath& socket;
    std::string_view level;
    std::optional<std::string> target;
    std::optional<Lookup> missing;
    Owner owner = Owner::Server;
};

Scope global_scope(const Server& server) { return {server.socket, "-g", std::nullopt, {}}; }

// The scope on what `found` names; `suffix` completes the id into a target.
Result<Scope> found_scope(const SocketPath& socket, std::string_view level, Owner owner,
                          Result<Lookup> found, std::string_view suffix = {}) {
    if (!found) return std::unexpected(found.error());
    if (!found->found()) return Scope{socket, level, std::nullopt, std::move(*found), owner};
    return Scope{socket, level, found->id + std::string(suffix), {}, owner};
}

// set-option and show-options resolve -t as a pane: "$ID:" (the session's
// current window) finds the session where a bare id would not.
Result<Scope> option_scope(const Session& session) {
    return found_scope(session.socket, {}, Owner::Session,
                       find_session(session.socket, session.name), ":");
}

Result<Scope> environment_scope(const Session& session) {
    return found_scope(session.socket, {}, Owner::Session,
                       find_session(session.socket, session.name));
}

Result<Scope> option_scope(const Window& window) {
    return found_scope(window.socket, "-w", Owner::Window,
                       find_window(window.socket, window.session_name, window.index));
}

Scope option_scope(const Pane& pane) {
    return {pane.socket, "-p", pane.pane_id, {}, Owner::Pane};
}

bool holds(Owner owner, OptionTable table) {
    switch (owner) {
    case Owner::Server: return true;  // the global options of every table
    case Owner::Session: return table == OptionTable::Session;
    case Owner::Window: return table == OptionTable::Window || table == OptionTable::WindowOrPane;
    case Owner::Pane: return table == OptionTable::WindowOrPane;
    }
    return false;
}

std::string_view owner_name(Owner owner) {
    switch (owner) {
    case Owner::Server: return "server";
    case Owner::Session: return "session";
    case Owner::Window: return "window";
    case Owner::Pane: return "pane";
    }
    return {};
}

// A tmux option (not "@name", which every level may have) must be one of
// the scope's own: tmux would set or show it on another object.
Result<void> check_option(const Scope& scope, const std::string& name, std::string_view failed) {
    if (scope.owner == Owner::Server || name.starts_with('@')) return {};
    auto table = option_table(scope.socket, name, *scope.target, failed);
    if (!table) return std::unexpected(table.error());
    if (holds(scope.owner, *table)) return {};
    // tmux's own words for a name it does not know (a prefix it would take included).
    if (*table == OptionTable::Unknown) {
        return runtime_error(std::string(failed) + "invalid option: " + name);
    }
    std::string message = quote_text(name);
    message += " is ";
    message += table_description(*table);
    message += ", not a ";
    message += owner_name(scope.owner);
    message += " option";
    return value_error(std::move(message));
}

// The subcommand, the level and the target, then `operands` (a name, and a
// value to set).
HostCommand command(const Scope& scope, std::string_view subcommand,
                                 std::initializer_list<Arg> operands) {
    std::vector<Arg> args = {word(subcommand)};
    if (!scope.level.empty()) args.push_back(word(scope.level));
    if (scope.target) args.insert(args.end(), {word("-t"), value(*scope.target)});
    args.insert(args.end(), operands);
    return tmux_argv(scope.socket, args);
}

Result<bool> set_in(const Scope& scope, std::string_view subcommand, std::string_view failed,
                    const std::string& name, const std::string& value) {
    if (scope.missing) return lookup_failure(*scope.missing, failed, Stderr::Trimmed);
    return action_run(command(scope, subcommand, {operand(name), operand(value)}), failed);
}

// A show command's output, both streams collected.
Result<CommandOutput> shown(const Scope& scope, std::string_view failed,
                            std::string_view subcommand, std::initializer_list<Arg> operands) {
    if (scope.missing) return lookup_failure(*scope.missing, failed, Stderr::Trimmed);
    return output_of(command(scope, subcommand, operands), Capture::Both, kSpawnPrefix);
}

// True when tmux's standard error is exactly `reply` followed by `name`.
bool stderr_is(const CommandOutput& output, std::string_view reply, std::string_view name) {
    std::string text = decode_lossy(output.stderr_bytes);
    std::string_view said = trim(text);
    return said.size() == reply.size() + name.size() && said.starts_with(reply) &&
           said.ends_with(name);
}

// Before an option command runs: the object was found, and the option is of its level.
Result<void> ready_for(const Scope& scope, const std::string& name, std::string_view failed) {
    if (scope.missing) return lookup_failure(*scope.missing, failed, Stderr::Trimmed);
    return check_option(scope, name, failed);
}

Result<bool> set_option_in(const Scope& scope, const std::string& name, const std::string& value) {
    if (auto ready = ready_for(scope, name, kSetOptionFailed); !ready) {
        return std::unexpected(ready.error());
    }
    return set_in(scope, "set-option", kSetOptionFailed, name, value);
}

Result<std::optional<std::string>> show_option_in(const Scope& scope, const std::string& name) {
    if (auto ready = ready_for(scope, name, kShowOptionFailed); !ready) {
        return std::unexpected(ready.error());
    }
    auto output = shown(scope, kShowOptionFailed, "show-options", {word("-v"), operand(name)});
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) {
        // Any "@name" is a user option; tmux calls one that is not set invalid.
        if (name.starts_with('@') && stderr_is(*output, "invalid option: ", name)) {
            return std::nullopt;
        }
        return tmux_failure(kShowOptionFailed, *output, Stderr::Trimmed);
    }
    // Not set at this level: nothing at all. An empty value is a line of its own.
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    if (text.empty()) return std::nullopt;
    text.resize(without_line_end(text).size());
    return text;
}

// The environment holds NAME=VALUE entries: a name cannot be empty or hold "=".
Result<void> check_variable_name(const std::string& name) {
    if (name.empty() || name.find('=') != std::string::npos) {
        return value_error("invalid environment variable name: " + quote_text(name));
    }
    return {};
}

Result<bool> set_environment_in(const Scope& scope, const std::string& name,
                                const std::string& value) {
    auto checked = check_variable_name(name);
    if (!checked) return std::unexpected(checked.error());
    return set_in(scope, "set-environment", kSetEnvironmentFailed, name, value);
}

Result<std::optional<std::string>> show_environment_in(const Scope& scope,
                                                       const std::string& name) {
    auto checked = check_variable_name(name);
    if (!checked) return std::unexpected(checked.error());
    auto output = shown(scope, kShowEnvironmentFailed, "show-environment", {operand(name)});
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) {
        if (stderr_is(*output, "unknown variable: ", name)) return std::nullopt;
        return tmux_failure(kShowEnvironmentFailed, *output, Stderr::Trimmed);
    }
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    std::string_view entry = without_line_end(text);
    if (entry.size() == name.size() + 1 && entry.starts_with('-') && entry.ends_with(name)) {
        return std::nullopt;  // removed: new programs do not get it
    }
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
        return std::string(entry.substr(name.size() + 1));
    }
    return runtime_error("unexpected tmux show-environment output: " + quote_text(entry));
}

// Runs `body` on the scope, or passes on the look-up's error.
template <class Body>
auto in_scope(Result<Scope> scope, Body body) -> decltype(body(*scope)) {
    if (!scope) return std::unexpected(scope.error());
    return body(*scope);
}

}  // namespace

Result<bool> server_ops::set_option(const Server& server, std::string name, std::string value) {
    return set_option_in(global_scope(server), name, value);
}
Result<std::optional<std::string>> server_ops::show_option(const Server& server,
                                                           std::string name) {
    return show_option_in(global_scope(server), name);
}
Result<bool> server_ops::set_environment(const Server& server, std::string name,
                                         std::string value) {
    return set_environment_in(global_scope(server), name, value);
}
Result<std::optional<std::string>> server_ops::show_environment(const Server& server,
                                                                std::string name) {
    return show_environment_in(global_scope(server), name);
}

Result<bool> session_ops::set_option(const Session& session, std::string name,
                                     std::string value) {
    return in_scope(option_scope(session), [&](const Scope& scope) {
        return set_option_in(scope, name, value);
    });
}
Result<std::optional<std::string>> session_ops::show_option(const Session& session,
                                                            std::string name) {
    return in_scope(option_scope(session),
                    [&](const Scope& scope) { return show_option_in(scope, name); });
}
// The name is checked before the look-up: a bad one runs no tmux at all.
Result<bool> session_ops::set_environment(const Session& session, std::string name,
                                          std::string value) {
    if (auto checked = check_variable_name(name); !checked) return std::unexpected(checked.error());
    return in_scope(environment_scope(session),
                    [&](const Scope& scope) { return set_environment_in(scope, name, value); });
}
Result<std::optional<std::string>> session_ops::show_environment(const Session& session,
                                                                 std::string name) {
    if (auto checked = check_variable_name(name); !checked) return std::unexpected(checked.error());
    return in_scope(environment_scope(session),
                    [&](const Scope& scope) { return show_environment_in(scope, name); });
}

Result<bool> window_ops::set_option(const Window& window, std::string name, std::string value) {
    return in_scope(option_scope(window), [&](const Scope& scope) {
        return set_option_in(scope, name, value);
    });
}
Result<std::optional<std::string>> window_ops::show_option(const Window& window,
                                                           std::string name) {
    return in_scope(option_scope(window),
                    [&](const Scope& scope) { return show_option_in(scope, name); });
}

Result<bool> pane_ops::set_option(const Pane& pane, std::string name, std::string value) {
    return set_option_in(option_scope(pane), name, value);
}
Result<std::optional<std::string>> pane_ops::show_option(const Pane& pane, std::string name) {
    return show_option_in(option_scope(pane), name);
}

}  // namespace termloom
