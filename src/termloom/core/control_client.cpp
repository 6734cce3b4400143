#include "control_client.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quiet_thread.hpp"
#include "text.hpp"

namespace termloom {
namespace {

constexpr auto kCheckEvery = std::chrono::milliseconds(100);
// How long a closed remote client has to leave by itself.
constexpr auto kLeaveTime = std::chrono::seconds(3);

// Letters, digits and "-": a display-message prints it as it is.
std::string new_token() {
    std::random_device random;
    char text[64];
    std::snprintf(text, sizeof text, "termloom-%d-%08x%08x-", static_cast<int>(::getpid()),
                  static_cast<unsigned>(random()), static_cast<unsigned>(random()));
    return text;
}

thread_local std::string last_attachment_of_thread;

// Reaps a child whose output has ended; one that goes on regardless is
// killed first (it is not reaped yet, so its pid is still its own), so that
// no caller waits for it. Its wait status, or none when it was lost.
std::optional<int> reap_ended(BackgroundChild& child) {
    for (int round = 0; round < 50; ++round) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(child.pid()), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
            errno != EINTR) {
            break;
        }
        if (info.si_pid == child.pid()) break;
        ::usleep(10'000);
        if (round == 49) ::kill(-child.pid(), SIGKILL);
    }
    auto status = child.finish();
    if (!status) return std::nullopt;
    return *status;
}

}  // namespace

struct ControlClient::Request {
    std::string sentinel;  // the text of the block that ends the line's answer
    Capture capture = Capture::Both;
    CommandOutput output;
    bool began = false;  // tmux began a command of the line
    bool failed_block = false;
    bool done = false;
    std::optional<Failure> failure;
    std::string attachment;
};

std::expected<std::shared_ptr<ControlClient>, std::string> ControlClient::start(
    const HostCommand& launch, double seconds, std::string home) {
    auto argv = argv_on_host(launch);
    if (!argv) return std::unexpected(argv.error().text);
    auto child = BackgroundChild::start(*argv, StartOptions{.input = {}, .hold_input = true, .stdout_fd = -1});
    if (!child) return std::unexpected(start_failure_on(launch.address, std::move(child.error())).text);
    std::shared_ptr<ControlClient> client(new ControlClient());
    if (auto host = host_of(launch.address); host && host->remote()) {
        client->prefix_ = remote_output_prefix();
        client->remote_ = true;
    }
    client->home_ = std::move(home);
    client->pid_ = child->pid();
    client->in_ = child->input_fd();
    client->out_ = child->output_fd();
    client->err_ = child->error_fd();
    client->child_.emplace(std::move(*child));
    client->token_ = new_token();
    client->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (client->wake_ < 0) return std::unexpected(std::string("eventfd: ") + std::strerror(errno));
    ::fcntl(client->in_, F_SETFL, ::fcntl(client->in_, F_GETFL) | O_NONBLOCK);
    try {
        client->reader_ = quiet_thread([raw = client.get()] {
            raw->reading_loop();
            std::lock_guard lock(raw->mutex_);
            raw->reader_done_ = true;
            raw->changed_.notify_all();
        });
    } catch (const std::system_error& error) {
        return std::unexpected(std::string("cannot start the connection's reader: ") + error.what());
    }

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    std::unique_lock lock(client->mutex_);
    while (!client->started_ && !client->ended_) {
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            client->close();
            return std::unexpected("tmux did not answer the attach of its control client in time");
        }
        client->changed_.wait_for(lock, kCheckEvery);
        if (client->started_ || client->ended_) break;
        lock.unlock();
        const bool stop = host_wants_to_stop();
        lock.lock();
        if (stop) {
            lock.unlock();
            client->close();
            return std::unexpected("interrupted");
        }
    }
    std::string failure = client->ended_ ? client->reason_ : client->start_error_;
    lock.unlock();
    if (!failure.empty()) {
        client->close();
        return std::unexpected(failure);
    }
    return client;
}

ControlClient::~ControlClient() { close(); }

const std::string& ControlClient::last_attachment() { return last_attachment_of_thread; }

bool ControlClient::alive() {
    std::lock_guard lock(mutex_);
    return !ended_;
}

std::string ControlClient::end_reason() {
    std::lock_guard lock(mutex_);
    return reason_;
}

bool ControlClient::write_all(std::string_view bytes, std::size_t& written) {
    while (!bytes.empty()) {
        const ssize_t wrote = write_to_pipe(in_, bytes);
        if (wrote > 0) written += static_cast<std::size_t>(wrote);
        if (wrote > 0 || wrote == -EINTR) continue;
        if (wrote != -EAGAIN) return false;
        pollfd entry{in_, POLLOUT, 0};
        ::poll(&entry, 1, static_cast<int>(kCheckEvery.count()));
        if (host_wants_to_stop()) return false;
        std::lock_guard lock(mutex_);
        if (ended_) return false;
    }
    return true;
}

std::expected<CommandOutput, ControlClient::Failure> ControlClient::run(const std::string& line,
                                                                       Capture capture) {
    auto request = std::make_shared<Request>();
    request->capture = capture;
    {
        std::lock_guard writing(write_mutex_);
        std::string bytes;
        {
            std::lock_guard lock(mutex_);
            if (ended_) return std::unexpected(Failure{Failure::Kind::NotStarted, reason_});
            request->sentinel = token_ + std::to_string(++next_sentinel_);
            pending_.push_back(request);
        }
        bytes.reserve(line.size() + request->sentinel.size() + 24);
        bytes += line;
        bytes += "\ndisplay-message -p ";
        bytes += request->sentinel;
        bytes += '\n';
        request->sentinel += '\n';
        std::size_t written = 0;
        if (!write_all(bytes, written)) {
            const bool stop = host_wants_to_stop();
            std::lock_guard lock(mutex_);
            if (stop) {
                // A line cut short would run as another command: the
                // client can serve no more.
                end("a write to it was interrupted");
                return std::unexpected(Failure{Failure::Kind::Interrupted, {}});
            }
            // The client has gone (or stopped reading): a command whose
            // line did not reach it whole never ran. One that did is told
            // by its answer, or by how the client ended.
            if (written <= line.size()) {
                std::erase(pending_, request);
                return std::unexpected(Failure{Failure::Kind::NotStarted, "its tmux client has gone"});
            }
        }
    }
    std::unique_lock lock(mutex_);
    while (!request->done && !request->failure) {
        changed_.wait_for(lock, kCheckEvery);
        if (request->done || request->failure) break;
        lock.unlock();
        // The answer, when it comes, is read and dropped.
        const bool stop = host_wants_to_stop();
        lock.lock();
        if (stop && !request->done) return std::unexpected(Failure{Failure::Kind::Interrupted, {}});
    }
    if (request->failure) return std::unexpected(*request->failure);
    last_attachment_of_thread = request->attachment;
    return std::move(request->output);
}

void ControlClient::reading_loop() {
    std::string buffer;
    std::string errors;
    char chunk[65536];
    bool out_open = true, err_open = true;
    while (out_open) {
        pollfd entries[3] = {{out_, POLLIN, 0}, {wake_, POLLIN, 0}, {err_open ? err_ : -1, POLLIN, 0}};
        if (::poll(entries, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (entries[1].revents) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wake_, &count, sizeof count);
            std::lock_guard lock(mutex_);
            if (ended_ && !draining_) return;  // closed: the closer reaps the child
        }
        if (entries[2].revents) {
            const ssize_t got = ::read(err_, chunk, sizeof chunk);
            if (got > 0) {
                errors.append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                err_open = false;
            }
        }
        if (!entries[0].revents) continue;
        const ssize_t got = ::read(out_, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            out_open = false;
        } else if (got == 0) {
            out_open = false;
        }
        if (got > 0) buffer.append(chunk, static_cast<std::size_t>(got));
        std::lock_guard lock(mutex_);
        if (!prefix_.empty()) {
            // A remote client's output starts with the transport's marker;
            // anything before it (a login shell's banner) is not tmux.
            const std::size_t have = std::min(buffer.size(), prefix_.size());
            if (buffer.compare(0, have, prefix_, 0, have) != 0) {
                const std::string seen = decode_lossy(buffer.substr(0, std::min<std::size_t>(buffer.size(), 80)));
                end("its host printed " + quote_text(seen) + " before tmux started (a start-up file "
                    "of its login shell?)");
                return;
            }
            if (have < prefix_.size()) {
                if (out_open) continue;
            } else {
                buffer.erase(0, prefix_.size());
                prefix_.clear();
            }
        }
        std::size_t from = 0;
        for (std::size_t nl; (nl = buffer.find('\n', from)) != std::string::npos; from = nl + 1) {
            handle_line(std::string_view(buffer).substr(from, nl - from));
        }
        buffer.erase(0, from);
    }
    // Its output has ended: the client is leaving, or gone.
    while (err_open) {
        const ssize_t got = ::read(err_, chunk, sizeof chunk);
        if (got > 0) {
            errors.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) {
            pollfd entry{err_, POLLIN, 0};
            if (::poll(&entry, 1, 500) > 0) continue;
        }
        break;
    }
    const auto status = reap_ended(*child_);
    std::lock_guard lock(mutex_);
    if (ended_) return;
    while (!errors.empty() && (errors.back() == '\n' || errors.back() == '\r')) errors.pop_back();
    std::string reason = reason_;
    if (!errors.empty()) reason += (reason.empty() ? "" : "; ") + errors;
    if (reason.empty() && status) reason = "tmux -C " + exit_description(*status);
    reason_.clear();
    end(reason.empty() ? "its tmux client exited" : reason);
}

void ControlClient::handle_line(std::string_view line) {
    if (block_guard_) {
        std::string_view rest;
        bool error = false;
        if (line.starts_with("%end ")) {
            rest = line.substr(5);
        } else if (line.starts_with("%error ")) {
            rest = line.substr(7);
            error = true;
        }
        if (!rest.empty() && rest == *block_guard_) {
            finish_block(error);
            return;
        }
        block_text_ += line;
        block_text_ += '\n';
        return;
    }
    if (!ended_guard_.empty()) {
        // Between blocks tmux sends only notifications ("%..."): the end
        // of the last block again, or a line of text, was the rest of its
        // output, cut short by a line of it that read as the block's end.
        const bool again = (line.starts_with("%end ") && line.substr(5) == ended_guard_) ||
                           (line.starts_with("%error ") && line.substr(7) == ended_guard_);
        if (again || (!line.empty() && line.front() != '%')) {
            cut_short();
            return;
        }
    }
    if (line.starts_with("%begin ")) {
        ended_guard_.clear();
        block_guard_ = std::string(line.substr(7));
        block_text_.clear();
        if (started_ && !pending_.empty() && !pending_.front()->began) {
            pending_.front()->began = true;
            pending_.front()->attachment = attached_session_;
        }
        return;
    }
    handle_notification(line);
}

void ControlClient::handle_notification(std::string_view line) {
    if (line == "%exit" || line.starts_with("%exit ")) {
        const std::string_view said = line.size() > 6 ? line.substr(6) : std::string_view();
        reason_ = said.empty() ? "its tmux client detached (its session was closed)"
                               : "tmux said: " + std::string(said);
        return;
    }
    if (line.starts_with("%session-changed ")) {
        auto rest = line.substr(17);
        attached_session_ = std::string(rest.substr(0, rest.find(' ')));
    }
}

void ControlClient::cut_short() {
    ended_guard_.clear();
    if (!pending_.empty()) {
        pending_.front()->failure = Failure{Failure::Kind::Unreadable, {}};
        pending_.pop_front();
    }
    // What follows cannot be told from the output's text either.
    end("an answer of tmux could not be read (the pane's text held a line like its end)");
}

void ControlClient::finish_block(bool error) {
    if (started_ && block_guard_) ended_guard_ = *block_guard_;
    block_guard_.reset();
    if (!started_) {
        started_ = true;
        if (error) {
            start_error_ = block_text_;
            while (!start_error_.empty() && start_error_.back() == '\n') start_error_.pop_back();
            if (start_error_.empty()) start_error_ = "tmux refused the attach of its control client";
        }
        changed_.notify_all();
        return;
    }
    if (pending_.empty()) return;
    Request& request = *pending_.front();
    if (!error && block_text_ == request.sentinel) {
        request.output.wait_status = request.failed_block ? (1 << 8) : 0;  // exit status 1
        request.done = true;
        pending_.pop_front();
        changed_.notify_all();
        return;
    }
    request.failed_block = request.failed_block || error;
    const bool wanted = error ? request.capture == Capture::Stderr || request.capture == Capture::Both
                              : request.capture == Capture::Stdout || request.capture == Capture::Both;
    if (wanted) (error ? request.output.stderr_bytes : request.output.stdout_bytes) += block_text_;
}

void ControlClient::end(std::string reason) {
    if (ended_) return;
    ended_ = true;
    reason_ = std::move(reason);
    // Every pending line reached the client whole. Even one tmux has not
    // begun may have run: a client on its way out (its session gone) still
    // hands on the commands it reads, and tmux answers none of them.
    for (const auto& request : pending_) request->failure = Failure{Failure::Kind::Ended, reason_};
    pending_.clear();
    changed_.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

void ControlClient::let_leave() {
    {
        // A writer still in its line sees the end within kCheckEvery.
        std::lock_guard writing(write_mutex_);
        if (child_) child_->close_input();
        in_ = -1;
    }
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kLeaveTime, [this] { return reader_done_; });
    draining_ = false;
}

void ControlClient::close() {
    bool leave = false;
    {
        std::lock_guard lock(mutex_);
        if (!ended_) {
            ended_ = true;
            reason_ = "the connection was closed";
            for (const auto& request : pending_) {
                request->failure = Failure{Failure::Kind::Ended, reason_};
            }
            pending_.clear();
            changed_.notify_all();
            leave = draining_ = remote_ && started_ && reader_.joinable() && !reader_done_ &&
                                reader_.get_id() != std::this_thread::get_id();
        }
    }
    if (leave) let_leave();
    {
        std::lock_guard lock(mutex_);
        if (wake_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
        }
    }
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
    // Killed with its process group and reaped (or already reaped).
    child_.reset();
    if (wake_ >= 0) ::close(wake_);
    wake_ = -1;
}

void ControlClient::abandon() {
    for (int fd : {in_, out_, err_, wake_}) {
        if (fd >= 0) ::close(fd);
    }
}

}  // namespace termloom
