// The remote side: one small sh script run through the host's transport,
// which removes what is due, then makes what is asked for.
#include "host_files.hpp"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>

#include <pthread.h>
#include <unistd.h>

#include "../core/host_command.hpp"
#include "../core/ssh_connections.hpp"
#include "../core/text.hpp"
#include "run_tmux.hpp"

namespace termloom {
namespace {

// FIFOs made per run for the streams of a host.
constexpr int kFifoBatch = 4;

// "$1": how many paths to remove, then those paths; then what to make in
// the folder (umask 077): "file NAME FIFO..." (the file from standard
// input) or "fifos FIFO...".
constexpr std::string_view kScript =
    "n=$1;shift;while [ \"$n\" -gt 0 ];do [ -p \"$1\" ]&&: <>\"$1\" 2>/dev/null;rm -f -- \"$1\";"
    "shift;n=$((n-1));done;umask 077;case $1 in file)shift;cat >\"$1\"&&shift&&mkfifo -- \"$@\";;"
    "fifos)shift;mkfifo -- \"$@\";;esac";

struct HostFolder {
    std::string path;     // "" until made
    pid_t owner = 0;      // the process that made it, which removes it
    SocketPath address;   // an address on that host, to reach it at exit
    std::vector<std::string> due;       // to remove with the next run
    std::deque<std::string> spare_fifos;
};

std::mutex* folders_mutex = new std::mutex();
std::map<std::string, HostFolder>* folders = new std::map<std::string, HostFolder>();
std::atomic<std::uint64_t> made_count{0};

void before_fork() { folders_mutex->lock(); }
void after_fork_in_parent() { folders_mutex->unlock(); }
// A forked child uses its parent's folders, but makes FIFOs of its own.
void after_fork_in_child() {
    folders_mutex = new std::mutex();
    for (auto& [key, folder] : *folders) folder.spare_fifos.clear();
}

[[maybe_unused]] const int fork_handlers_installed =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

bool typeable(std::string_view path) {
    if (!path.starts_with('/')) return false;
    for (char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-';
        if (!plain) return false;
    }
    return true;
}

// "stream-PID-N": a forked child shares the folder of its parent.
std::string stream_name() {
    return "stream-" + std::to_string(::getpid()) + "-" + std::to_string(++made_count);
}

// The host's folder, made now if need be. Under the mutex.
Result<HostFolder*> folder_of(const SocketPath& socket, const ServerAddress& host) {
    HostFolder& folder = (*folders)[host_key(host)];
    if (!folder.path.empty()) return &folder;
    auto made = output_of(HostCommand{socket, {"sh", "-c", "umask 077;exec mktemp -d /tmp/termloom-XXXXXX"}},
                          Capture::Both, kSpawnPrefix);
    if (!made) return std::unexpected(made.error());
    const std::string path(trim(decode_lossy(made->stdout_bytes)));
    if (!succeeded(*made) || !typeable(path)) {
        return runtime_error("cannot make a private folder in /tmp on " + host_label(host) + ": " +
                             std::string(trim(decode_lossy(made->stderr_bytes))));
    }
    folder.path = path;
    folder.owner = ::getpid();
    folder.address = socket;
    return &folder;
}

// One run of the script: the removals due, then `making`.
Result<void> run_script(const SocketPath& socket, const ServerAddress& host, HostFolder& folder,
                        std::vector<std::string> making, std::string_view input = {}) {
    std::vector<std::string> argv = {"sh", "-c", std::string(kScript), "sh",
                                     std::to_string(folder.due.size())};
    argv.insert(argv.end(), folder.due.begin(), folder.due.end());
    argv.insert(argv.end(), making.begin(), making.end());
    auto ran = output_of(HostCommand{socket, std::move(argv)}, Capture::Stderr, kSpawnPrefix, input);
    if (!ran) return std::unexpected(ran.error());
    folder.due.clear();
    if (!succeeded(*ran)) {
        return runtime_error("cannot make files in " + quote_text(folder.path) + " on " + host_label(host) +
                             ": " + std::string(trim(decode_lossy(ran->stderr_bytes))));
    }
    return {};
}

Result<ServerAddress> remote_host(const SocketPath& socket) {
    auto host = host_of(socket);
    if (!host) return value_error(std::move(host.error().text));
    return std::move(*host);
}

}  // namespace

Result<RunFiles> make_run_files(const SocketPath& socket, std::string_view name,
                                std::string_view content) {
    auto host = remote_host(socket);
    if (!host) return std::unexpected(host.error());
    if (!host->remote()) {
        auto file = write_private_file(std::string(name) + ".cmd", content);
        if (!file) return std::unexpected(file.error());
        auto fifo = make_private_fifo(name, false);
        if (!fifo) {
            remove_private_file(*file);
            return std::unexpected(fifo.error());
        }
        return RunFiles{std::move(*file), std::move(fifo->path)};
    }
    std::lock_guard lock(*folders_mutex);
    auto folder = folder_of(socket, *host);
    if (!folder) return std::unexpected(folder.error());
    RunFiles files{(*folder)->path + "/" + std::string(name) + ".cmd", (*folder)->path + "/" + std::string(name)};
    // cat writes nothing for an empty input: the file is made all the same.
    auto made = run_script(socket, *host, **folder, {"file", files.command_file, files.wrapper_fifo}, content);
    if (!made) return std::unexpected(made.error());
    return files;
}

Result<PrivateFifo> make_stream_fifo(const SocketPath& socket) {
    auto host = remote_host(socket);
    if (!host) return std::unexpected(host.error());
    if (!host->remote()) return make_private_fifo("stream-" + std::to_string(++made_count));
    std::lock_guard lock(*folders_mutex);
    auto folder = folder_of(socket, *host);
    if (!folder) return std::unexpected(folder.error());
    HostFolder& here = **folder;
    if (here.spare_fifos.empty()) {
        std::vector<std::string> making = {"fifos"};
        for (int i = 0; i < kFifoBatch; ++i) making.push_back(here.path + "/" + stream_name());
        auto made = run_script(socket, *host, here, making);
        if (!made) return std::unexpected(made.error());
        here.spare_fifos.insert(here.spare_fifos.end(), making.begin() + 1, making.end());
    }
    PrivateFifo fifo{std::move(here.spare_fifos.front()), -1};
    here.spare_fifos.pop_front();
    return fifo;
}

void remove_host_files(const SocketPath& socket, const std::vector<std::string>& paths) {
    auto host = host_of(socket);
    if (!host || !host->remote()) {
        for (const auto& path : paths) remove_private_file(path);
        return;
    }
    std::lock_guard lock(*folders_mutex);
    auto& due = (*folders)[host_key(*host)].due;
    due.insert(due.end(), paths.begin(), paths.end());
}

void remove_host_folders() {
    std::map<std::string, HostFolder> taken;
    {
        std::lock_guard lock(*folders_mutex);
        taken.swap(*folders);
    }
    const pid_t self = ::getpid();
    for (const auto& [key, folder] : taken) {
        if (folder.path.empty() || folder.owner != self) continue;
        (void)status_of(HostCommand{
            folder.address,
            {"sh", "-c", "for f in \"$1\"/*;do [ -p \"$f\" ]&&: <>\"$f\";done 2>/dev/null;rm -rf -- \"$1\"",
             "sh", folder.path}});
    }
}

}  // namespace termloom
