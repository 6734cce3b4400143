// Files of ours where a pane's shell and tmux can open them: on the tmux
// server's host. On this machine they are the private files of
// core/private_files.hpp. On a remote host they are in a private folder
// there (0700, under /tmp, made once per host, its name letters, digits and
// "/._-" only so that it can be typed), made through the host's transport:
// nothing relies on a file system shared with this machine.
//
// Removing files on a remote host costs no run of its own: they are
// removed in the next run that makes files there, or at exit. A FIFO that
// a writer still waits on is opened there first, so that writer goes on
// (and ends) instead of waiting for good.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/error.hpp"
#include "../core/private_files.hpp"
#include "handles.hpp"

namespace termloom {

// Pane.run's files: the command file holding `content` and the wrapper
// FIFO, both named after `name`, made in one run. Their paths.
struct RunFiles {
    std::string command_file;
    std::string wrapper_fifo;
};
Result<RunFiles> make_run_files(const SocketPath& socket, std::string_view name,
                                std::string_view content);

// A new FIFO for a pane's output stream. On this machine its reading end
// is opened as make_private_fifo does; on a remote host (fd -1) the FIFOs
// are made a few at a time, ahead of need.
Result<PrivateFifo> make_stream_fifo(const SocketPath& socket);

void remove_host_files(const SocketPath& socket, const std::vector<std::string>& paths);

// At exit: every remote host's private folder is removed, through the
// connections that still stand.
void remove_host_folders();

}  // namespace termloom
