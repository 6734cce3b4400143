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
    // Transport: the way to a remote tmux host failed (ssh, or a container
    // engine): the command may or may not have run, and nothing it printed
    // is its answer. Address: the server's address is not one. Refused: a
    // run that may start a server found something other than a socket at
    // the socket path, and did not run. Connection: the control client that
    // ran it ended meanwhile (see core/connections.hpp); the text says so
    // whole.
    enum class Kind { Spawn, Interrupted, Lost, Transport, Address, Refused, Connection } kind;
    // For Spawn: the system's description and " (os error N)", or
    // "nul byte found in provided data" when an argument holds a NUL.
    // For Lost: the system's description and " (os error N)", and the
    // likely cause. For Transport: the whole message, naming the host and
    // the transport's own words. For Address: the whole message. For
    // Refused: the socket path.
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
// client): standard input
// from /dev/null unless given, standard output a pipe the caller reads (or
// a descriptor given), standard error collected. However the object goes,
// a child it has not reaped is killed with its process group and reaped.
struct StartOptions {
    // Written to standard input as the child takes it (write_input), then
    // closed: its end of file.
    std::string input;
    // Standard input a pipe kept open, without input, until the object goes:
    // a child that sees its caller leave (its end of file).
    bool hold_input = false;
    // The child's standard output, taken over (>= 0); none: a pipe of ours.
    int stdout_fd = -1;
};

class BackgroundChild {
public:
    static std::expected<BackgroundChild, RunError> start(const std::vector<std::string>& argv,
                                                          StartOptions options = {});
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
    // Writes what standard input takes now of the input given; true once
    // all of it is written and the pipe closed (or the child closed it).
    bool write_input();
    // Hands over the child and its standard error descriptor: the new owner
    // reaps it (it is no longer killed at the host's exit by
    // kill_running_children, nor by this object).
    struct Released {
        pid_t pid = -1;
        int stderr_fd = -1;
    };
    Released release_child();
    // The writing end of standard input (-1 unless it is a pipe held open).
    int input_fd() const { return in_; }
    // Closes that end: the child reads the end of its input.
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
    std::string input_;
    std::size_t input_written_ = 0;
    bool hold_input_ = false;
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
