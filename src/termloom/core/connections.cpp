// The registry of connections: one entry per address with an open count
// and its control client, behind one mutex; starting a client takes the
// entry's own mutex, so that one thread starts it while others go on.
#include "connections.hpp"

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "control_client.hpp"
#include "control_line.hpp"
#include "server_socket.hpp"
#include "tmux_command.hpp"
#include "tmux_release.hpp"

namespace termloom::connections {
namespace {

using Clock = std::chrono::steady_clock;

// After a client could not be had, calls run once each for this long
// before the next try (a try costs about one tmux run).
constexpr auto kRetryPause = std::chrono::milliseconds(20);
// How long tmux may take to answer the attach of a new client.
constexpr double kAttachSeconds = 10.0;
// A command that every client can run, changing nothing.
const std::string kProbe = "has-session";

struct Entry {
    std::optional<std::string> address;
    int open_count = 0;
    std::shared_ptr<ControlClient> client;
    // A command ran once beside the client since its last use (see
    // ran_beside): the next use first makes sure it still serves.
    bool check_before_use = false;
    Clock::time_point retry_after{};
    // Set while one thread starts a client (a flag, not a try_lock: that
    // needs glibc 2.34).
    std::shared_ptr<std::atomic<bool>> starting = std::make_shared<std::atomic<bool>>(false);
};

struct Registry {
    std::mutex mutex;
    std::map<std::optional<std::string>, Entry> entries;
    std::map<std::uint64_t, std::optional<std::string>> numbers;  // open connections
    std::uint64_t next_number = 1;
};

// Never destroyed: a connection may be used until the process ends.
Registry* registry = new Registry();
std::atomic<int> open_entries{0};  // entries with an open count: the fast path skips the rest

thread_local int once_per_call_depth = 0;
thread_local std::string attachment;

// The words that tmux_argv puts before the command's own.
std::vector<std::string> prefix_of(const std::optional<std::string>& address) {
    auto argv = tmux_argv(address, {}).argv;
    return argv;
}

// Whether a command of this name could stop the client, hold the queue, or
// would answer differently from a control client.
bool runs_once(std::string_view name) {
    return name.starts_with("kill-") || name == "wait-for" || name == "attach-session" ||
           name == "detach-client" || name == "switch-client" || name == "suspend-client";
}

bool starts_in_client_directory(std::string_view name) {
    return name == "new-session" || name == "new-window" || name == "split-window";
}

// Commands that only read: one whose client ended before it answered runs
// once again (see try_run).
bool is_query(std::string_view name) {
    return name.starts_with("list-") || name.starts_with("show-") || name == "has-session" ||
           name == "display-message" || name == "capture-pane";
}

// Whether the argv word ends a command (see control_line).
bool ends_command(const std::string& word) {
    return !word.empty() && word.back() == ';' && !word.ends_with("\\;");
}

// The words as they go to the client, or none when the command runs once.
// A client attached to a session starts new panes in the session's
// directory; one tmux run starts them in its own: where this process is
// now, or on a remote host where its login shell starts (`remote_home`).
std::optional<std::vector<std::string>> words_for_client(const std::vector<std::string>& argv,
                                                         std::size_t from,
                                                         const std::string* remote_home) {
    std::vector<std::string> words;
    words.reserve(argv.size() - from + 2);
    bool at_name = true;
    for (std::size_t i = from; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        words.push_back(word);
        if (at_name && word != ";") {
            if (runs_once(word)) return std::nullopt;
            if (starts_in_client_directory(word)) {
                char buffer[4096];
                if (remote_home == nullptr && ::getcwd(buffer, sizeof buffer) == nullptr) return std::nullopt;
                const char* directory = remote_home != nullptr ? remote_home->c_str() : buffer;
                // One that the releases read apart runs once, which needs no -c.
                if (format_text_needs_release(directory)) return std::nullopt;
                // Written as tmux_argv writes a directory: a format, maybe "\;".
                const FormatText text = format_text(directory, TmuxRelease{});
                const auto written = tmux_argv(std::nullopt, {name_value(text)}).argv;
                words.emplace_back("-c");
                words.push_back(written.back());
            }
            at_name = false;
        }
        if (ends_command(word)) at_name = true;
    }
    if (words.empty()) return std::nullopt;
    return words;
}

// The launch of a client: tmux's flags as every command's, then control
// mode attached to the session tmux finds best, taking no pane output and
// no part in sizes where the release has those flags. attach-session
// would start a server where none runs (which then ends at once, having
// no session, and may take down a client that was starting one at the
// same moment): -N forbids that from 3.2 on.
HostCommand launch_of(const std::optional<std::string>& address, bool flags) {
    if (flags) {
        return tmux_argv(address, {word("-N"), word("-C"), word("attach-session"), word("-f"),
                                   word("no-output,ignore-size")});
    }
    return tmux_argv(address, {word("-C"), word("attach-session")});
}

// Where tmux's default server listens, as tmux finds it.
std::string default_socket_path() {
    const char* folder = std::getenv("TMUX_TMPDIR");
    std::string path = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    return path + "/tmux-" + std::to_string(::getuid()) + "/default";
}

// Whether a server listens at `address`, for a release without -N. On a
// remote host the look is a tmux run there (one that starts no server).
bool server_listens(const std::optional<std::string>& address, bool remote) {
    if (!remote) return accepts_connections(address ? *address : default_socket_path());
    OncePerCall once;
    auto ran = run_status_on_host(tmux_argv(address, {word("has-session")}));
    return ran && *ran;
}

std::shared_ptr<ControlClient> start_client(const std::optional<std::string>& address) {
    auto host = host_of(address);
    if (!host) return nullptr;
    auto tmux = host_tmux(address);
    if (!tmux || tmux->release.name.empty()) return nullptr;
    const bool flags = tmux->release.at_least(3, 2);
    // 3.1 has no -N: a server is looked for first. One that ends between
    // the look and the attach is started again for a moment (see README).
    if (!flags && !server_listens(address, host->remote())) return nullptr;
    // Where one tmux run there starts: its login shell's directory.
    std::string home;
    if (host->remote()) {
        OncePerCall once;
        auto ran = run_output_on_host(HostCommand{address, {"pwd"}}, Capture::Stdout);
        if (!ran || !succeeded(*ran) || !ran->stdout_bytes.ends_with('\n')) return nullptr;
        home = ran->stdout_bytes.substr(0, ran->stdout_bytes.size() - 1);
    }
    auto client = ControlClient::start(launch_of(address, flags), kAttachSeconds, std::move(home));
    if (!client) return nullptr;
    if (!flags) {
        // 3.1 sets the flag with refresh-client; its %output would come otherwise.
        auto set = (*client)->run("refresh-client -F no-output", Capture::Both);
        if (!set || !succeeded(*set)) {
            (*client)->close();
            return nullptr;
        }
    }
    return std::move(*client);
}

// The client serving `address` now, started if there is none and a try is
// due; none when this call is to run once.
std::shared_ptr<ControlClient> client_for(const std::optional<std::string>& address) {
    std::shared_ptr<std::atomic<bool>> starting;
    std::shared_ptr<ControlClient> ended;
    {
        std::lock_guard lock(registry->mutex);
        auto it = registry->entries.find(address);
        if (it == registry->entries.end() || it->second.open_count == 0) return nullptr;
        Entry& entry = it->second;
        if (entry.client && entry.client->alive()) return entry.client;
        if (entry.client) {
            ended = std::move(entry.client);  // reaped below, outside the lock
            entry.retry_after = {};
        }
        if (Clock::now() < entry.retry_after) return nullptr;
        starting = entry.starting;
    }
    ended.reset();
    // One thread starts it; the others run once meanwhile.
    bool idle = false;
    if (!starting->compare_exchange_strong(idle, true)) return nullptr;
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag = false; }
    } done{*starting};
    {
        std::lock_guard lock(registry->mutex);
        auto it = registry->entries.find(address);
        if (it == registry->entries.end() || it->second.open_count == 0) return nullptr;
        if (it->second.client && it->second.client->alive()) return it->second.client;
    }
    auto client = start_client(address);
    std::lock_guard lock(registry->mutex);
    auto it = registry->entries.find(address);
    if (it == registry->entries.end() || it->second.open_count == 0) {
        if (client) client->close();
        return nullptr;
    }
    if (!client) {
        it->second.retry_after = Clock::now() + kRetryPause;
        return nullptr;
    }
    it->second.client = client;
    return client;
}

// The command about to run once (a kill, a caller's own words, one that
// reads standard input) could end the attachment of the client.
void ran_beside(const std::optional<std::string>& address) {
    std::lock_guard lock(registry->mutex);
    auto it = registry->entries.find(address);
    if (it != registry->entries.end() && it->second.client) it->second.check_before_use = true;
}

// client_for, but after a command that ran beside the client (kill-session
// of the session it is attached to, say), which may have sent it on its way
// out: tmux then still takes the commands it reads, runs some and answers
// none. A round trip tells.
std::shared_ptr<ControlClient> checked_client_for(const std::optional<std::string>& address) {
    auto client = client_for(address);
    if (!client) return nullptr;
    bool check = false;
    {
        std::lock_guard lock(registry->mutex);
        auto it = registry->entries.find(address);
        if (it != registry->entries.end()) check = std::exchange(it->second.check_before_use, false);
    }
    if (!check || client->run(kProbe, Capture::Neither)) return client;
    return client_for(address);
}

// Whether every command of the words only reads.
bool reads_only(const std::vector<std::string>& words) {
    bool at_name = true;
    for (const std::string& word : words) {
        if (at_name && word != ";" && !is_query(word)) return false;
        at_name = ends_command(word);
    }
    return true;
}

std::string described(const std::optional<std::string>& address) {
    return address ? "the tmux server at " + *address : std::string("tmux's default server");
}

// A forked child has no connection: it neither reads nor writes the
// parent's clients, and keeps none of their descriptors open.
void before_fork() { registry->mutex.lock(); }
void after_fork_in_parent() { registry->mutex.unlock(); }
void after_fork_in_child() {
    Registry* old = registry;
    for (auto& [address, entry] : old->entries) {
        if (entry.client) entry.client->abandon();
        // The old registry and its clients stay behind, untouched: their
        // mutexes may be held by threads that do not exist here.
        new std::shared_ptr<ControlClient>(std::move(entry.client));
    }
    registry = new Registry();
    open_entries = 0;
}

[[maybe_unused]] const int fork_handlers_installed =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

}  // namespace

std::uint64_t open(const std::optional<std::string>& address) {
    std::uint64_t number;
    {
        std::lock_guard lock(registry->mutex);
        number = registry->next_number++;
        registry->numbers[number] = address;
        Entry& entry = registry->entries[address];
        entry.address = address;
        if (entry.open_count++ == 0) {
            ++open_entries;
            entry.retry_after = {};
        }
    }
    (void)client_for(address);
    return number;
}

bool close(std::uint64_t number) {
    std::shared_ptr<ControlClient> ending;
    {
        std::lock_guard lock(registry->mutex);
        auto it = registry->numbers.find(number);
        if (it == registry->numbers.end()) return false;
        Entry& entry = registry->entries[it->second];
        registry->numbers.erase(it);
        if (--entry.open_count == 0) {
            --open_entries;
            ending = std::move(entry.client);
        }
    }
    if (ending) ending->close();
    return true;
}

bool is_open(std::uint64_t number) {
    std::lock_guard lock(registry->mutex);
    return registry->numbers.contains(number);
}

pid_t client_pid(const std::optional<std::string>& address) {
    std::lock_guard lock(registry->mutex);
    auto it = registry->entries.find(address);
    if (it == registry->entries.end() || !it->second.client || !it->second.client->alive()) return 0;
    return it->second.client->pid();
}

std::optional<std::expected<CommandOutput, RunError>> try_run(const HostCommand& command,
                                                              Capture capture,
                                                              std::string_view input) {
    attachment.clear();
    if (open_entries.load(std::memory_order_relaxed) == 0) return std::nullopt;
    if (once_per_call_depth > 0 || !input.empty()) {
        ran_beside(command.address);
        return std::nullopt;
    }
    const auto prefix = prefix_of(command.address);
    if (command.argv.size() <= prefix.size() ||
        !std::equal(prefix.begin(), prefix.end(), command.argv.begin())) {
        return std::nullopt;
    }
    auto host = host_of(command.address);
    if (!host) return std::nullopt;
    std::shared_ptr<ControlClient> client;
    if (host->remote()) {
        client = checked_client_for(command.address);
        if (!client) return std::nullopt;
    }
    auto words = words_for_client(command.argv, prefix.size(), client ? &client->home() : nullptr);
    if (!words) {
        ran_beside(command.address);
        return std::nullopt;
    }
    auto line = control_line(*words);
    if (!line) return std::nullopt;
    if (!client) client = checked_client_for(command.address);
    if (!client) return std::nullopt;
    auto ran = client->run(*line, capture);
    if (ran) {
        attachment = ControlClient::last_attachment();
        return std::move(*ran);
    }
    switch (ran.error().kind) {
    case ControlClient::Failure::Kind::NotStarted:
        return std::nullopt;  // tmux never began it: it runs once instead
    case ControlClient::Failure::Kind::Interrupted:
        return std::unexpected(RunError{RunError::Kind::Interrupted, {}});
    case ControlClient::Failure::Kind::Unreadable:
        return std::unexpected(RunError{
            RunError::Kind::Connection,
            "tmux ran the command, but its output held a line that reads as the end of tmux's "
            "answer through the connection to " + described(command.address) + " (a program "
            "can print such a line), so its output cannot be read through a connection; the "
            "next call opens a new one, and a run without a connection reads it whole"});
    case ControlClient::Failure::Kind::Ended:
        if (reads_only(*words)) return std::nullopt;  // whether it ran or not, it runs once now
        break;
    }
    return std::unexpected(RunError{
        RunError::Kind::Connection,
        "the connection to " + described(command.address) + " ended while tmux ran a command (" +
            ran.error().text + "), so whether the command took effect is unknown; the next call "
            "opens a new connection, or runs tmux once while none can be made"});
}

const std::string& attachment_of_last_run() { return attachment; }

void close_all() {
    std::vector<std::shared_ptr<ControlClient>> ending;
    {
        std::lock_guard lock(registry->mutex);
        for (auto& [address, entry] : registry->entries) {
            if (entry.client) ending.push_back(std::move(entry.client));
            entry.open_count = 0;
        }
        registry->numbers.clear();
        open_entries = 0;
    }
    for (auto& client : ending) client->close();
}

OncePerCall::OncePerCall() { ++once_per_call_depth; }
OncePerCall::~OncePerCall() { --once_per_call_depth; }

}  // namespace termloom::connections
