// One OpenSSH connection per host, owned by this process.
//
// Every run on an ssh:// host goes through an OpenSSH ControlMaster of ours:
// its control socket is in a private folder (0700, under /tmp), it is made
// the first time a run needs it (under a lock, so threads wait for one
// connection instead of making several), made again when its socket no
// longer answers, and closed when the host exits (close_ssh_connections).
// Should the host be killed instead, the master ends by itself once it has
// been idle for its persist time. BatchMode is on everywhere: ssh never asks
// anything, a connection it cannot make is an error.
//
// The ssh program and options of the user's choice come from the
// environment variable TERMLOOM_SSH_COMMAND ("ssh -F test_config"), split
// into words as a shell would split them, without expansions; it is read
// at each connection, so a connection belongs to one command and one host.
// Those words come first on the command line, and ssh keeps the first value
// it reads of each option: an option given there wins over termloom's.
//
// A forked child uses its parent's connections, and never closes them.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "process.hpp"
#include "server_address.hpp"

namespace termloom {

// How long an idle master stays when nobody closes it (ControlPersist).
inline constexpr int kSshPersistSeconds = 60;

// The ssh argument vector for a run on `address`'s host, up to and with
// the destination: the caller appends the remote command as one word. The
// connection is made now when there is none (or it no longer answers),
// unless `may_connect` is false: then that is a Transport error.
std::expected<std::vector<std::string>, RunError> ssh_argv_for(const ServerAddress& address,
                                                              bool may_connect = true);

// The key of `address`'s host: the ssh command in force, the user, the host
// and the port (for ssh); the engine and the container (otherwise).
std::string host_key(const ServerAddress& address);

// Closes every connection this process made (not a parent's), at its exit.
void close_ssh_connections();

// The words of a command line as a POSIX shell splits them, quotes and
// backslashes honoured, nothing expanded; an error for an unfinished quote.
std::expected<std::vector<std::string>, std::string> split_command_words(std::string_view text);

}  // namespace termloom
