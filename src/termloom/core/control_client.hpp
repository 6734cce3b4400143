// One tmux control-mode client (`tmux -C attach-session`), a child of this
// process, shared by every thread that sends it commands.
//
// Each command line is written to the client's standard input with a
// sentinel line after it (a display-message of a token of this client), and
// tmux answers every command in the order received: each command of a line
// gives one block (%begin ... %end, or %error for a failed one), then the
// sentinel's block says the line is done. The blocks are turned into what a
// tmux child of one run would have given: the %end blocks are its standard
// output, the %error blocks its standard error, and its exit status is 1
// when any block is an %error.
//
// One thread per client reads its output (all signals blocked); a caller
// waits for its own answer and asks the host's interrupt check meanwhile.
// When the client ends, every call still waiting is told why: a call whose
// command tmux never started (no %begin of it came before an orderly exit)
// is told so, and can run another way; any other one fails.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host_command.hpp"
#include "process.hpp"

namespace termloom {

class ControlClient : public std::enable_shared_from_this<ControlClient> {
public:
    // Starts `launch` (a tmux command line ending in "-C attach-session
    // ...", run on the server's host through its transport, as any tmux
    // command is) and waits, within `seconds`, for tmux to answer that
    // attach. The error holds what tmux said (no sessions, no server).
    // `home` is kept for the caller: on a remote host, the directory its
    // login shell starts in.
    static std::expected<std::shared_ptr<ControlClient>, std::string> start(
        const HostCommand& launch, double seconds, std::string home = {});

    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // How a call ended when it had no answer.
    struct Failure {
        // NotStarted: the line never reached the client (it had ended);
        // Ended: it did, and the client ended before tmux answered.
        // Unreadable: tmux ran it, but its output held a line like the
        // end of its own answer, so where the answer ended is unknown.
        enum class Kind { NotStarted, Ended, Interrupted, Unreadable } kind;
        std::string text;
    };

    // Sends one command line (as control_line wrote it) and waits for its
    // answer, collected as `capture` says.
    std::expected<CommandOutput, Failure> run(const std::string& line, Capture capture);

    // The session the client was attached to when tmux began the last
    // command this thread ran (tmux's "$N"), for answers that count clients.
    static const std::string& last_attachment();

    bool alive();
    // Why it ended ("" while alive).
    std::string end_reason();
    // Ends the client: fails any call still waiting, closes its input, and
    // kills and reaps it. A remote client is first given a moment to leave
    // by itself at the end of its input: killing the transport's child here
    // does not reach the tmux client on the host, which the tmux server
    // would otherwise wait for while it ends. Idempotent.
    void close();
    // In a forked child: forgets the parent's client without touching it.
    void abandon();

    pid_t pid() const { return pid_; }
    const std::string& home() const { return home_; }

private:
    struct Request;
    ControlClient() = default;
    void reading_loop();
    void handle_line(std::string_view line);
    void handle_notification(std::string_view line);
    void cut_short();
    void finish_block(bool error);
    void end(std::string reason);  // with mutex_ held
    void let_leave();  // close's wait for a remote client to leave
    // False when the host asked to stop or the client takes no more;
    // `written` counts what went.
    bool write_all(std::string_view bytes, std::size_t& written);

    std::mutex mutex_;         // everything below, but the descriptors
    std::mutex write_mutex_;   // one writer at a time, in queue order
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Request>> pending_;
    std::optional<BackgroundChild> child_;
    pid_t pid_ = 0;
    int in_ = -1, out_ = -1, err_ = -1;
    int wake_ = -1;            // an eventfd that ends the reader's poll
    std::thread reader_;
    std::string token_;
    std::uint64_t next_sentinel_ = 0;
    bool started_ = false;     // the attach's own block has ended
    bool draining_ = false;    // closed, but the reader reads on to the output's end
    bool reader_done_ = false;
    bool remote_ = false;      // on another host, through its transport
    bool ended_ = false;
    std::string reason_;
    std::string attached_session_;
    std::string stderr_text_;
    // The block being read: its guard's arguments, its lines so far.
    std::optional<std::string> block_guard_;
    std::string block_text_;
    // The last ended block of a command: its guard, which tmux never
    // repeats, so a second end with it means the first was the output's.
    std::string ended_guard_;
    std::string start_error_;
    std::string prefix_;       // what comes before tmux's output, still to be seen
    std::string home_;
};

}  // namespace termloom
