// The ControlMasters: one per ssh command and host, made with `ssh -M -N
// -f` (which returns once the connection is up and authenticated), its pid
// read back with `-O check`, ended with SIGKILL (an ssh master here, under
// load, now and then took a SIGTERM and went on running).
#include "ssh_connections.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "server_socket.hpp"
#include "text.hpp"

namespace termloom {
namespace {

struct Connection {
    std::mutex* making = new std::mutex();  // held while the master is made; never freed
    // Each master has a socket path of its own (under Connections::mutex):
    // an old master that ends after its socket was taken away can remove
    // its path as it goes, which must not be the new master's.
    std::string control_path;
    pid_t master = 0;   // 0 until known
    pid_t owner = 0;    // the process that made the master
};

struct Connections {
    std::mutex* mutex = new std::mutex();
    std::map<std::string, std::unique_ptr<Connection>> by_key;
    std::string folder;  // made on first use
    pid_t folder_owner = 0;
    std::size_t made = 0;
};

// Never destroyed: runs may go on in other threads while the host exits.
Connections* connections = new Connections();

// fork() copies each mutex in whatever state another thread left it, one
// being held for the whole making of a master: the child gets new ones.
void before_fork() { connections->mutex->lock(); }
void after_fork_in_parent() { connections->mutex->unlock(); }
void after_fork_in_child() {
    connections->mutex = new std::mutex();
    for (auto& [key, connection] : connections->by_key) connection->making = new std::mutex();
}

[[maybe_unused]] const int fork_handlers_installed =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

std::string os_error(int err) {
    char buf[256];
    return ::strerror_r(err, buf, sizeof buf);  // GNU: returns the text
}

std::unexpected<RunError> transport_error(std::string text) {
    return std::unexpected(RunError{RunError::Kind::Transport, std::move(text)});
}

// The words of TERMLOOM_SSH_COMMAND, or "ssh".
std::expected<std::vector<std::string>, RunError> ssh_command() {
    const char* text = std::getenv("TERMLOOM_SSH_COMMAND");
    if (text == nullptr || *text == '\0') return std::vector<std::string>{"ssh"};
    auto words = split_command_words(text);
    if (!words) return transport_error("TERMLOOM_SSH_COMMAND " + quote_text(text) + ": " + words.error());
    if (words->empty()) return std::vector<std::string>{"ssh"};
    return std::move(*words);
}

// The destination part, which both the master and the runs name.
void add_destination(std::vector<std::string>& argv, const ServerAddress& address) {
    if (!address.user.empty()) argv.insert(argv.end(), {"-l", address.user});
    if (!address.port.empty()) argv.insert(argv.end(), {"-p", address.port});
    argv.push_back("--");
    argv.push_back(address.host);
}

// A folder of this process's own for the control sockets: short, under
// /tmp, since a socket path holds about 100 bytes and ssh adds 17 while it
// makes one. Under the mutex.
std::expected<std::string, RunError> control_folder() {
    if (!connections->folder.empty() && connections->folder_owner == ::getpid()) {
        return connections->folder;
    }
    std::string pattern = "/tmp/tlssh-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return transport_error("cannot make a private folder in /tmp for ssh's connections: " +
                               os_error(errno));
    }
    connections->folder = pattern;
    connections->folder_owner = ::getpid();
    return pattern;
}

// The process `pid` is our master on `path` (its command line names the
// path), not another that took its pid.
bool is_master(pid_t pid, const std::string& path) {
    if (pid <= 0) return false;
    const std::string file = "/proc/" + std::to_string(pid) + "/cmdline";
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[1024];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buf, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text.find("ControlPath=" + path) != std::string::npos;
}

void end_master(Connection& connection) {
    if (is_master(connection.master, connection.control_path)) ::kill(connection.master, SIGKILL);
    connection.master = 0;
}

std::string ssh_words(const CommandOutput& output) {
    std::string text(trim(decode_lossy(output.stderr_bytes)));
    return text.empty() ? "ssh ended with " + exit_description(output.wait_status) : text;
}

std::string current_path(const Connection& connection) {
    std::lock_guard lock(*connections->mutex);
    return connection.control_path;
}

// Makes the master of `connection` (its socket is gone or dead), at a new
// path. Under its `making` lock.
std::expected<void, RunError> make_master(Connection& connection, const std::vector<std::string>& command,
                                          const ServerAddress& address) {
    {
        std::lock_guard lock(*connections->mutex);
        end_master(connection);  // one whose socket was taken away still runs
        if (!connection.control_path.empty()) ::unlink(connection.control_path.c_str());
        auto folder = control_folder();
        if (!folder) return std::unexpected(folder.error());
        connection.control_path = *folder + "/" + std::to_string(connections->made++);
    }
    std::vector<std::string> argv = command;
    const std::string control = "ControlPath=" + connection.control_path;
    argv.insert(argv.end(),
                {"-o", "BatchMode=yes", "-o", "ControlMaster=yes", "-o", control, "-o",
                 "ControlPersist=" + std::to_string(kSshPersistSeconds), "-o",
                 "ClearAllForwardings=yes", "-o", "RemoteCommand=none", "-o", "ServerAliveInterval=15",
                 "-o", "ServerAliveCountMax=3", "-o", "ConnectTimeout=15", "-N", "-f"});
    add_destination(argv, address);
    auto made = run_output(argv, Capture::Stderr);
    if (!made) {
        if (made.error().kind != RunError::Kind::Spawn) return std::unexpected(made.error());
        return transport_error("cannot connect to " + host_label(address) + ": cannot run " +
                               quote_text(command.front()) + ": " + made.error().text);
    }
    if (!succeeded(*made)) {
        return transport_error("cannot connect to " + host_label(address) + ": " + ssh_words(*made));
    }
    connection.owner = ::getpid();
    // Its pid, to end it at exit without another ssh run: "Master running (pid=N)".
    std::vector<std::string> check = command;
    check.insert(check.end(), {"-o", control, "-O", "check"});
    add_destination(check, address);
    auto checked = run_output(check, Capture::Stderr);
    if (!checked) {
        if (checked.error().kind != RunError::Kind::Spawn) return std::unexpected(checked.error());
        return {};
    }
    const std::string words = decode_lossy(checked->stderr_bytes);
    if (const auto at = words.find("(pid="); at != std::string::npos) {
        const auto end = words.find(')', at);
        if (auto pid = parse_u32(std::string_view(words).substr(at + 5, end - at - 5))) {
            connection.master = static_cast<pid_t>(*pid);
        }
    }
    return {};
}

}  // namespace

std::string host_key(const ServerAddress& address) {
    switch (address.transport) {
    case Transport::Local:
        return "local";
    case Transport::Ssh: {
        const char* command = std::getenv("TERMLOOM_SSH_COMMAND");
        return "ssh\n" + std::string(command ? command : "") + "\n" + address.user + "\n" + address.host +
               "\n" + address.port;
    }
    case Transport::Docker:
        return "docker\n" + address.host;
    case Transport::Podman:
        return "podman\n" + address.host;
    }
    return {};
}

std::expected<std::vector<std::string>, RunError> ssh_argv_for(const ServerAddress& address,
                                                              bool may_connect) {
    auto command = ssh_command();
    if (!command) return std::unexpected(command.error());
    const std::string key = host_key(address);
    Connection* connection = nullptr;
    {
        std::lock_guard lock(*connections->mutex);
        auto& slot = connections->by_key[key];
        if (!slot) slot = std::make_unique<Connection>();
        connection = slot.get();
    }
    std::string path = current_path(*connection);
    if (path.empty() || !accepts_connections(path)) {
        if (!may_connect) return transport_error("no connection to " + host_label(address));
        std::lock_guard making(*connection->making);
        path = current_path(*connection);
        if (path.empty() || !accepts_connections(path)) {
            auto made = make_master(*connection, *command, address);
            if (!made) return std::unexpected(made.error());
            path = current_path(*connection);
        }
    }
    std::vector<std::string> argv = std::move(*command);
    argv.insert(argv.end(), {"-o", "BatchMode=yes", "-o", "ControlMaster=no", "-o",
                             "ControlPath=" + path, "-o", "RemoteCommand=none", "-T"});
    add_destination(argv, address);
    return argv;
}

void close_ssh_connections() {
    std::lock_guard lock(*connections->mutex);
    const pid_t self = ::getpid();
    for (auto& [key, connection] : connections->by_key) {
        if (connection->owner != self) continue;
        end_master(*connection);
        ::unlink(connection->control_path.c_str());
    }
    if (!connections->folder.empty() && connections->folder_owner == self) {
        ::rmdir(connections->folder.c_str());
    }
}

std::expected<std::vector<std::string>, std::string> split_command_words(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '\\') {
            if (++i == text.size()) return std::unexpected(std::string("it ends with a backslash"));
            if (text[i] != '\n') word += text[i];
            continue;
        }
        if (c == '\'') {
            const auto close = text.find('\'', i + 1);
            if (close == std::string_view::npos) return std::unexpected(std::string("a single quote is not closed"));
            word += text.substr(i + 1, close - i - 1);
            i = close;
            continue;
        }
        if (c == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) return std::unexpected(std::string("a double quote is not closed"));
                if (text[i] == '"') break;
                if (text[i] == '\\' && i + 1 < text.size() &&
                    std::string_view("\"\\$`\n").find(text[i + 1]) != std::string_view::npos) {
                    if (text[++i] != '\n') word += text[i];
                    continue;
                }
                word += text[i];
            }
            continue;
        }
        word += c;
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

}  // namespace termloom
