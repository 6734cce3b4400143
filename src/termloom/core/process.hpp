// Running a child program to completion: the status run and the output run.
//
// A run starts the program found on PATH with posix_spawnp (no shell; before
// glibc 2.34 a fork, see spawn_in_fork.hpp) in a process group of its own,
// with only descriptors 0-2, waits for it without a time limit and releases
// everything it opened before returning. Meanwhile the host's interrupt
// check is asked after a signal interrupted a wait and every 150 ms or so;
// when the host wants to stop, the run reports Interrupted. However a run
// ends, by return or by exception, a child it has not reaped is killed with
// its process group and reaped. An exit status that someone else reaped
// first is reported Lost, never guessed.
#pragma once

#include <expected>
#include <sys/types.h>
#include <string>
#include <string_view>
#include <vector>

namespace termloom {

// Which output streams of the child are collected; the others go to /dev/null.
enum class Capture { Stdout, Stderr, Both, Neither };

struct CommandOutput {
    int wait_status = 0;        // as reported by waitpid
    std::string stdout_bytes;   // empty when not collected
    std::string stderr_bytes;   // empty when not collected
};

// A large output costs more in page faults, when its buffer is fresh memory,
// than in copying. So the buffer of standard output is reused: a run takes
// the one given back last on its thread, and whoever is done with a text
// that came from one gives it back. Only buffers up to a bound are kept.
std::string take_output_buffer();
void give_back_output_buffer(std::string&& buffer);

struct RunError {
    // Lost: the child ran but its exit status could not be read, so the
    // run's outcome is unknown (someone else reaped it).
    // Connection: the control client that ran it ended meanwhile (see
    // core/connections.hpp); the text says so whole.
    enum class Kind { Spawn, Interrupted, Lost, Connection } kind;
    // For Spawn: the system's description and " (os error N)", or
    // "nul byte found in provided data" when an argument holds a NUL.
    // For Lost: the system's description and " (os error N)", and the
    // likely cause.
    std::string text;
};

// True exactly when the child exited normally with code 0.
bool succeeded(const CommandOutput& output);

// "exit status 1", "killed by signal 9": how a child ended, for messages.
std::string exit_description(int wait_status);

// Standard input inherited, both outputs to /dev/null. True exactly when the
// child started and exited with code 0; a failed start is false, and only an
// interruption or a lost exit status is an error.
std::expected<bool, RunError> run_status(const std::vector<std::string>& argv);

// Standard input: the bytes of `input`, then end of file (/dev/null when it
// is empty). Outputs collected as `capture` says. The input is written while
// both output pipes are drained, so no side can stall the other.
std::expected<CommandOutput, RunError> run_output(const std::vector<std::string>& argv,
                                                  Capture capture, std::string_view input = {});

// A child started now and waited for later, for a wait of the caller's own
// (a tmux client blocked in wait-for, a stream's reader, a control-mode
// client): standard input from /dev/null, or with `with_input` a pipe the
// caller writes to; standard output a pipe the caller reads, standard error
// collected. However the object goes, a child it has not reaped is killed
// with its process group and reaped.
class BackgroundChild {
public:
    static std::expected<BackgroundChild, RunError> start(const std::vector<std::string>& argv,
                                                          bool with_input = false);
    BackgroundChild(BackgroundChild&& other) noexcept;
    BackgroundChild& operator=(BackgroundChild&&) = delete;
    BackgroundChild(const BackgroundChild&) = delete;
    ~BackgroundChild();

    // Readable when output arrived or an output ended: standard output
    // until it has ended, then standard error.
    int output_fd() const { return out_ >= 0 ? out_ : err_; }
    // Reads what the outputs hold now; true once both have ended.
    bool read_available();
    // Once both outputs ended: reaps the child; its wait status (an error
    // when the status was lost).
    std::expected<int, RunError> finish();
    // Hands over the output descriptor (the child stays ours to reap).
    int release_output();
    // The writing end of standard input (-1 without `with_input`); closing
    // it tells the child its input ended.
    int input_fd() const { return in_; }
    void close_input();
    pid_t pid() const { return pid_; }
    int error_fd() const { return err_; }

    std::string stdout_bytes;
    std::string stderr_bytes;

private:
    BackgroundChild(pid_t pid, int out, int err, int in) : pid_(pid), out_(out), err_(err), in_(in) {}
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int in_ = -1;
};

// The host's say on a run in progress: called on the thread doing the run,
// after a signal interrupted a wait and every 150 ms or so while the child
// runs, busy or not; returning true abandons the run.
using InterruptCheck = bool (*)();
void set_interrupt_check(InterruptCheck check);

// Kills the process group of every child whose run is still in progress, for
// a host that exits while other threads wait for tmux (its interpreter stops
// them where they are). The children are not reaped: the host is leaving.
// Only this process's own children: a forked child leaves its parent's alone.
void kill_running_children();

// Sleeps for `milliseconds`, consulting the interrupt check as a wait for a
// child does; false when the host asked to stop.
bool sleep_interruptibly(int milliseconds);

// The interrupt check, for a wait of the caller's own: true when the host
// wants it abandoned; false when no check is installed.
bool host_wants_to_stop();

// One write of the front of `input` to a pipe, which drops what went: the
// byte count or -errno. A reader that has gone is -EPIPE, never SIGPIPE.
ssize_t write_to_pipe(int fd, std::string_view& input);

}  // namespace termloom
