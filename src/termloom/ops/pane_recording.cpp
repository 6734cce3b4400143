// Recording a pane: pipe-pane feeds the pane's output to a recorder that
// writes an asciicast v2 file. The recorder holds an exclusive flock on the
// file from before it writes the header until it has written the last
// event, so the lock tells whether it has started and whether it is done.
// The file's path is kept in the pane's user option @termloom-recording,
// where stop_recording finds it.
#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

constexpr std::string_view kRecordingOption = "@termloom-recording";
constexpr std::string_view kRecordFailed = "record failed: ";
constexpr std::string_view kStopFailed = "stop recording failed: ";
// The recorder starts (an interpreter) and finishes (its last write) in
// far less; past this something is wrong with it.
constexpr double kRecorderLimitSeconds = 10.0;

std::atomic<RecorderProgram> recorder_program{nullptr};

std::string os_error(int err) {
    char buf[256];
    return ::strerror_r(err, buf, sizeof buf);  // GNU: returns the text
}

// Whether a process holds the file's lock now; nothing when it can't be told.
enum class Lock { Held, Free, Unknown };
Lock lock_state(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Lock::Unknown;
    int got = ::flock(fd, LOCK_SH | LOCK_NB);
    const int err = errno;
    ::close(fd);  // releases our shared lock too
    if (got == 0) return Lock::Free;
    return err == EWOULDBLOCK ? Lock::Held : Lock::Unknown;
}

// Waits until the recorder's lock is in state `wanted`.
Result<bool> wait_for_lock(const std::string& path, Lock wanted) {
    auto look = [&]() -> Result<Look> {
        return Look{lock_state(path) == wanted ? Progress::Done : Progress::Unchanged, {}};
    };
    return wait_until(deadline_after(Seconds{kRecorderLimitSeconds}), WakeSources{}, look);
}

// The path of the file the pane records to; "" when it records nothing.
Result<std::string> recording_path(const Pane& pane, std::string_view failure_prefix) {
    auto output = output_of(tmux_argv(pane.socket, {word("show-options"), word("-p"), word("-q"),
                                                    word("-v"), word("-t"), value(pane.pane_id),
                                                    fixed_operand(kRecordingOption)}),
                            Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(failure_prefix, *output, Stderr::Trimmed);
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    text.resize(without_line_end(text).size());
    return text;
}

std::string absolute(std::string path) {
    if (path.starts_with('/')) return path;
    char buf[4096];
    if (!::getcwd(buf, sizeof buf)) return path;
    return std::string(buf) + "/" + path;
}

}  // namespace

void set_recorder_program(RecorderProgram program) { recorder_program.store(program); }

Result<bool> record(const Pane& pane, std::string path) {
    RecorderProgram host = recorder_program.load();
    auto program = host ? host() : std::nullopt;
    if (!program) {
        return runtime_error(std::string(kRecordFailed) + "no Python interpreter to run the recorder");
    }
    auto current = recording_path(pane, kRecordFailed);
    if (!current) return std::unexpected(current.error());
    if (!current->empty()) {
        return runtime_error("pane " + pane.pane_id + " is already recording to " +
                             quote_text(*current));
    }
    auto size = successful_stdout(
        display_query(pane.socket, pane.pane_id, "#{pane_width} #{pane_height}"));
    if (!size) return std::unexpected(size.error());
    auto fields = *size ? split_fields(without_line_end(**size), ' ', 2)
                        : std::vector<std::string_view>();
    if (fields.size() != 2 || !parse_u32(fields[0]) || !parse_u32(fields[1])) {
        return runtime_error(std::string(kRecordFailed) + "pane " + pane.pane_id + " not found");
    }
    // Created here, so that a path we cannot write is an error naming it.
    path = absolute(std::move(path));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return runtime_error(std::string(kRecordFailed) + "cannot write " + quote_text(path) + ": " +
                             os_error(errno));
    }
    ::close(fd);

    std::vector<std::string> words = std::move(*program);
    words.push_back(path);
    words.emplace_back(fields[0]);
    words.emplace_back(fields[1]);
    std::string shell_command;
    for (const std::string& w : words) {
        if (!shell_command.empty()) shell_command += ' ';
        shell_command += shell_quoted(w);
    }
    auto started = action_run(
        tmux_argv(pane.socket, {word("pipe-pane"), word("-O"), word("-t"), value(pane.pane_id),
                                name_operand(shell_command), command_separator(),
                                word("set-option"), word("-p"), word("-t"), value(pane.pane_id),
                                fixed_operand(kRecordingOption), operand(path)}),
        kRecordFailed);
    if (!started) return started;
    auto running = wait_for_lock(path, Lock::Held);
    if (running && *running) return true;
    (void)stop_recording(pane);
    if (!running) return std::unexpected(running.error());
    return runtime_error(std::string(kRecordFailed) + "the recorder did not start within " +
                         seconds_text(Seconds{kRecorderLimitSeconds}) + " seconds");
}

Result<bool> stop_recording(const Pane& pane) {
    auto path = recording_path(pane, kStopFailed);
    if (!path) return std::unexpected(path.error());
    // Closing the pipe is the recorder's end of file.
    auto stopped = action_run(
        tmux_argv(pane.socket, {word("pipe-pane"), word("-t"), value(pane.pane_id),
                                command_separator(), word("set-option"), word("-p"), word("-u"),
                                word("-t"), value(pane.pane_id), fixed_operand(kRecordingOption)}),
        kStopFailed);
    if (!stopped || path->empty()) return stopped;
    auto finished = wait_for_lock(*path, Lock::Free);
    if (!finished) return std::unexpected(finished.error());
    if (*finished) return true;
    return runtime_error(std::string(kStopFailed) + "the recorder writing " + quote_text(*path) +
                         " did not finish within " + seconds_text(Seconds{kRecorderLimitSeconds}) +
                         " seconds");
}

}  // namespace termloom::pane_ops
