// What the commands that create a pane share (new-session, new-window,
// split-window): its start directory, its environment and the length of its
// history.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../core/error.hpp"
#include "../core/process.hpp"
#include "../core/tmux_command.hpp"
#include "handles.hpp"

namespace termloom {

// tmux starts a pane whose directory is missing in another one and says
// nothing: a ValueError naming it, before anything runs. A relative path is
// the client's, which is ours. The directory found, as tmux's format
// expansion of "-c" reads it back.
Result<std::optional<FormatText>> start_directory(const SocketPath& socket,
                                                  const std::optional<std::string>& directory);

// "-c DIR" (the written directory, which must outlive `args`) and
// "-e NAME=VALUE" for each variable, appended to `args`; `texts` keeps the
// NAME=VALUE texts the arguments point into.
void add_start_directory(std::vector<Arg>& args, const std::optional<FormatText>& directory);
void add_environment(std::vector<Arg>& args, std::deque<std::string>& texts,
                     const std::optional<Environment>& environment);

// "-x W" and "-y H", likewise.
void add_size(std::vector<Arg>& args, std::deque<std::string>& texts,
              const std::optional<std::uint32_t>& width, const std::optional<std::uint32_t>& height);

// Where history-limit is set for the creation: globally (a new session, which
// has no options of its own yet), or on the session of a target ("$1:" or a
// pane id), which its new panes read.
struct HistoryLimitLevel {
    std::optional<std::string> session_target;  // none: the global option
};

// tmux gives a pane the history-limit in force when the pane is created. So
// `creation` (one tmux command with -P) runs in one tmux run between setting
// the option to `limit` and putting the value before back: no other pane
// created meanwhile gets it. The value before is read first; the run prints
// it again as it runs, and a value that differs (no server ran when it was
// read, so its configuration was not known; or it changed in between) is put
// back right after. When the creation fails the rest of the run is skipped,
// so the value is put back by another run.
//
// Returns the run's output with the creation's lines only, failed or not,
// for the caller to read as it reads the creation's own; an error when the
// value could not be put back, naming it (after `failure_prefix` and tmux's
// message when the creation failed too).
Result<CommandOutput> create_with_history_limit(const SocketPath& socket,
                                                const HistoryLimitLevel& level,
                                                std::uint32_t limit, std::span<const Arg> creation,
                                                std::string_view failure_prefix,
                                                std::string_view spawn_prefix,
                                                bool starts_server = false);

}  // namespace termloom
