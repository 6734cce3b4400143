#include "tmux_release.hpp"

#include <cstdint>
#include <map>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "spawn_in_fork.hpp"
#include "ssh_connections.hpp"
#include "text.hpp"

namespace termloom {
namespace {

// A program file as a run would find it: its path on PATH and what tells a
// replaced file from the one asked before.
struct ProgramFile {
    std::string path;
    std::uint32_t device_major = 0, device_minor = 0;
    std::uint64_t inode = 0, size = 0;
    statx_timestamp modified{};

    bool same_as(const ProgramFile& other) const {
        return path == other.path && device_major == other.device_major &&
               device_minor == other.device_minor && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

// The first executable regular file named tmux along PATH, as posix_spawnp
// searches (an empty entry is the current folder); nothing when none is.
// statx, not stat: the module loads on glibc 2.28, before stat's new symbol.
std::optional<ProgramFile> find_tmux() {
    for (std::string& candidate : exec_candidates("tmux")) {
        struct statx info {};
        constexpr unsigned kWanted = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME;
        if (::statx(AT_FDCWD, candidate.c_str(), 0, kWanted, &info) == 0 &&
            S_ISREG(info.stx_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return ProgramFile{std::move(candidate), info.stx_dev_major, info.stx_dev_minor,
                               info.stx_ino, info.stx_size, info.stx_mtime};
        }
    }
    return std::nullopt;
}

struct Known {
    ProgramFile file;
    TmuxRelease release;
};

// A few programs at most in real use; tests make a new one each time, so
// the list starts again when it is full.
constexpr std::size_t kKnownLimit = 32;

std::mutex* known_mutex = new std::mutex();
std::vector<Known>* known = new std::vector<Known>();

// fork() copies the mutex in whatever state another thread left it: the
// fork waits until no thread changes the list, and the child starts with a
// fresh mutex and the same list.
void before_fork() { known_mutex->lock(); }
void after_fork_in_parent() { known_mutex->unlock(); }
void after_fork_in_child() { known_mutex = new std::mutex(); }

[[maybe_unused]] const int fork_handlers_installed =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

std::optional<TmuxRelease> remembered(const ProgramFile& file) {
    std::lock_guard lock(*known_mutex);
    for (const Known& entry : *known) {
        if (entry.file.same_as(file)) return entry.release;
    }
    return std::nullopt;
}

void remember(const ProgramFile& file, const TmuxRelease& release) {
    std::lock_guard lock(*known_mutex);
    if (known->size() >= kKnownLimit) known->clear();
    known->push_back(Known{file, release});
}

// The digits at the start of `text`, consumed; nothing when there are none.
std::optional<unsigned> leading_number(std::string_view& text) {
    std::size_t digits = 0;
    while (digits < text.size() && digits < 6 && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    auto number = parse_u32(text.substr(0, digits));
    text.remove_prefix(digits);
    if (!number) return std::nullopt;
    return *number;
}

}  // namespace

TmuxRelease parse_tmux_release(std::string_view version_line) {
    std::string_view name = trim(version_line);
    if (name.starts_with("tmux ")) name = trim(name.substr(5));
    TmuxRelease release{.name = std::string(name)};
    // "3.1c", "next-3.6", "3.4-rc": the first number, a dot and the second.
    const auto first_digit = name.find_first_of("0123456789");
    if (first_digit == std::string_view::npos) return release;
    std::string_view rest = name.substr(first_digit);
    auto major = leading_number(rest);
    if (!major || !rest.starts_with('.')) return release;
    rest.remove_prefix(1);
    auto minor = leading_number(rest);
    if (!minor) return release;
    release.major = *major;
    release.minor = *minor;
    return release;
}

std::expected<TmuxRelease, RunError> tmux_release() {
    auto file = find_tmux();
    if (!file) return TmuxRelease{};
    if (auto release = remembered(*file)) return std::move(*release);
    auto ran = run_output({file->path, "-V"}, Capture::Stdout);
    if (!ran) {
        if (ran.error().kind == RunError::Kind::Spawn) return TmuxRelease{};
        return std::unexpected(std::move(ran.error()));
    }
    TmuxRelease release = parse_tmux_release(decode_lossy(std::move(ran->stdout_bytes)));
    if (succeeded(*ran)) remember(*file, release);
    return release;
}

std::optional<std::string> tmux_program() {
    auto file = find_tmux();
    if (!file) return std::nullopt;
    if (file->path.starts_with('/')) return std::move(file->path);
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) return std::nullopt;
    return std::string(buf) + "/" + file->path;
}

namespace {

std::mutex* hosts_mutex = new std::mutex();
std::map<std::string, HostTmux>* hosts = new std::map<std::string, HostTmux>();

void hosts_before_fork() { hosts_mutex->lock(); }
void hosts_after_fork_in_parent() { hosts_mutex->unlock(); }
void hosts_after_fork_in_child() { hosts_mutex = new std::mutex(); }

[[maybe_unused]] const int hosts_fork_handlers_installed =
    ::pthread_atfork(&hosts_before_fork, &hosts_after_fork_in_parent, &hosts_after_fork_in_child);

std::string this_machine() {
    utsname names{};
    return ::uname(&names) == 0 ? std::string(names.machine) : std::string();
}

}  // namespace

std::expected<HostTmux, RunError> host_tmux(const std::optional<std::string>& address) {
    auto host = host_of(address);
    if (!host) return std::unexpected(host.error());
    if (!host->remote()) {
        auto release = tmux_release();
        if (!release) return std::unexpected(release.error());
        static const std::string machine = this_machine();
        return HostTmux{tmux_program(), std::move(*release), machine};
    }
    const std::string key = host_key(*host);
    {
        std::lock_guard lock(*hosts_mutex);
        if (auto it = hosts->find(key); it != hosts->end()) return it->second;
    }
    // Three lines: where tmux is, the machine, `tmux -V`.
    auto ran = run_output_on_host(
        HostCommand{address, {"sh", "-c", "p=$(command -v tmux)||exit 0;echo \"$p\";uname -m;exec tmux -V"}}, Capture::Stdout);
    if (!ran) return std::unexpected(ran.error());
    if (!succeeded(*ran)) return HostTmux{};
    const std::string text = decode_lossy(std::move(ran->stdout_bytes));
    auto lines = split_lines(text);
    if (lines.size() < 3 || !lines[0].starts_with('/')) return HostTmux{};
    HostTmux found{std::string(lines[0]), parse_tmux_release(lines[2]), std::string(lines[1])};
    std::lock_guard lock(*hosts_mutex);
    hosts->emplace(key, found);
    return found;
}

bool lists_take_filter(const TmuxRelease& release) { return release.at_least(3, 2); }

bool joined_capture_pads(const TmuxRelease& release) { return !release.at_least(3, 2); }

bool kill_server_loses_output(const TmuxRelease& release) { return !release.at_least(3, 2); }

bool dead_pane_tells_signal(const TmuxRelease& release) { return release.at_least(3, 3); }
bool new_session_takes_environment(const TmuxRelease& release) { return release.at_least(3, 2); }

bool keeps_hashes_before_style(const TmuxRelease& release) { return release.at_least(3, 2); }

}  // namespace termloom
