// Pane.run: a shell command typed at the prompt and followed to its end.
//
// The answers come from the shell, never from the screen: the shell tells
// tmux the command's status (a pane option and a wait-for channel, which a
// tmux client of ours waits on), and the command's output is what the pane's
// output stream holds between the shell's start and end markers, rendered
// as the terminal shows it (core/terminal_text.hpp). The shell text is in
// run_script.hpp.
//
// Runs on one pane take turns. Before typing, the pane's foreground program
// must be a shell, and no earlier run may still be going on in it (the pane
// option @termloom-run holds the shell's pid while one does); copy mode is
// left, and what is on the command line is erased (end of line, then kill to
// its start: readline, zle, the ksh editors and the terminal's own line all
// read it so). All of that and the typing are one tmux run.
#include <atomic>
#include <random>

#include <sys/wait.h>
#include <unistd.h>

#include "../core/foreground.hpp"
#include "../core/host_command.hpp"
#include "../core/output_streams.hpp"
#include "../core/private_files.hpp"
#include "../core/process.hpp"
#include "../core/terminal_text.hpp"
#include "../core/text.hpp"
#include "../core/turns.hpp"
#include "host_files.hpp"
#include "pane.hpp"
#include "pane_stream.hpp"
#include "pane_view.hpp"
#include "run_script.hpp"
#include "run_tmux.hpp"
#include "wrapper_feed.hpp"

namespace termloom::pane_ops {
namespace {

// A foreground program other than a shell gets this many looks this many
// milliseconds apart to end before run refuses the pane; one the shell ran
// for the last run's end gets 2 s (a loaded machine may not schedule it
// sooner).
constexpr int kEndingChecks = 10;
constexpr int kOwnEndingChecks = 400;
constexpr int kEndingPause = 5;
// After the shell told tmux, its end marker is on its way in the stream.
constexpr double kMarkerSeconds = 10.0;
// How many milliseconds a shell gets to come back to its prompt before typing.
constexpr int kReadyChecks = 200;
// How often the wrapper's FIFO is tried until the shell has opened it.
constexpr auto kFeedPause = std::chrono::milliseconds(1);

std::string new_digits() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    constexpr char digits[] = "0123456789abcdef";
    std::string out;
    std::uint64_t bits = generator();
    for (int i = 0; i < 16; ++i, bits >>= 4) out += digits[bits & 15];
    return out;
}

// What a run leaves in its turn's memo: the pane's process as last checked,
// and the files of a run that timed out before its shell read them.
struct Memo {
    pid_t pid = 0;
    std::vector<std::string> files;
};

Memo read_memo(const std::string& text) {
    Memo memo;
    auto lines = split_lines(text);
    if (!lines.empty()) {
        auto pid = parse_u32(lines[0]);
        memo.pid = pid ? static_cast<pid_t>(*pid) : 0;
        for (std::size_t i = 1; i < lines.size(); ++i) memo.files.emplace_back(lines[i]);
    }
    return memo;
}

std::string memo_text(const Memo& memo) {
    std::string out = std::to_string(memo.pid);
    for (const auto& file : memo.files) out += "\n" + file;
    return out;
}

std::atomic<std::uint64_t> file_counter{0};

// The tmux command string that types `typed` after leaving copy mode and
// erasing the command line (a space first, so that readline has something to
// erase and does not ring its bell), with the pane marked busy with `pid`;
// it prints "typed". Ours alone: a pane id, and a typed line without a
// single quote.
std::string typing_commands(const Pane& pane, std::string_view typed, pid_t pid) {
    const std::string& p = pane.pane_id;
    return "if-shell -F -t " + p + " '#{pane_in_mode}' 'send-keys -X -t " + p + " cancel' ; " +
           "send-keys -t " + p + " ' ' C-e C-u ; set-option -p -t " + p + " @termloom-run " +
           std::to_string(pid) + " ; send-keys -t " + p + " -l '" + std::string(typed) +
           "' ; send-keys -t " + p + " Enter ; display-message -p typed";
}

// The markers of this run found in the stream's bytes from the run's start.
struct Seen {
    std::size_t start = std::string::npos;  // where the output begins
    std::size_t end = std::string::npos;    // where it ends (the end marker)
    std::optional<std::uint32_t> status;    // on the end marker
    bool unread = false;                    // the wrapper could not be read
    bool untold = false;                    // the shell could not reach tmux
};

Seen markers_in(const std::string& bytes, const std::string& digits) {
    Seen seen;
    const std::string start = start_marker(digits);
    if (auto at = bytes.find(start); at != std::string::npos) seen.start = at + start.size();
    const std::string end = end_marker_prefix(digits);
    const std::size_t from = seen.start == std::string::npos ? 0 : seen.start;
    if (auto at = bytes.find(end, from); at != std::string::npos) {
        const auto close = bytes.find('\x07', at + end.size());
        if (close != std::string::npos) {
            seen.end = at;
            if (auto status = parse_u32(std::string_view(bytes).substr(at + end.size(), close - at - end.size()))) {
                seen.status = *status;
            }
        }
    }
    seen.unread = bytes.find(unread_marker(digits)) != std::string::npos;
    seen.untold = bytes.find(untold_marker(digits)) != std::string::npos;
    return seen;
}

}  // namespace

Result<CommandResult> run(const Pane& pane, std::string command, std::optional<Seconds> timeout) {
    // No shell reads it: it would end the command where it stands.
    if (command.find('\0') != std::string::npos) {
        return value_error("run: NUL (\"\\0\") cannot be in a shell command");
    }
    const auto deadline = deadline_after(timeout);
    auto taken = take_turn((pane.socket ? *pane.socket : std::string()) + '\n' + pane.pane_id, deadline);
    if (!taken) return std::unexpected(taken.error());
    if (!*taken) {
        return timeout_error(quote_text(command) + " did not start within " + seconds_text(*timeout) +
                             " seconds: another run on pane " + pane.pane_id + " went on");
    }
    Turn& turn = **taken;
    // The files of an earlier run that timed out stay until this run finds
    // that run ended (the shell may still be about to read them).
    Memo memo = read_memo(turn.memo());

    auto stream = pane_stream(pane, "run failed: ");
    if (!stream) return std::unexpected(stream.error());
    auto owner = streams::owner(*stream);
    if (!owner) return runtime_error("run failed: pane " + pane.pane_id + "'s output stream is gone");

    // The pane's process as last seen; looked up again when it has ended.
    // Its foreground is read where it runs: here, or on the remote host.
    auto foreground = [&](pid_t pid) -> Result<std::optional<ForegroundState>> {
        if (pid == 0) return std::nullopt;
        auto state = foreground_on_host(pane.socket, pid);
        if (!state) return run_error(state.error());
        return std::move(*state);
    };
    auto program = foreground(memo.pid);
    if (!program) return std::unexpected(program.error());
    if (!*program) {
        auto view = live_view(pane, {});
        if (!view) return std::unexpected(view.error());
        memo.pid = view->pid;
        program = foreground(memo.pid);
        if (!program) return std::unexpected(program.error());
    }
    turn.memo() = memo_text(memo);
    // A program the shell ran for the last run's end (posh has no printf of
    // its own, and every shell runs tmux) may not have ended yet.
    // Nor may the terminal's foreground be known for a moment: its group's
    // leader has just ended and the shell has not yet taken the terminal
    // back. Taken for sh, a zsh would be typed a line it cannot run.
    auto ending_checks = [&] {
        if (!*program) return kOwnEndingChecks;
        const std::string& name = (*program)->program.name;
        return name.starts_with("tmux") || name == "printf" ? kOwnEndingChecks : kEndingChecks;
    };
    for (int i = 0; (!*program || !is_posix_shell((*program)->program.name)) && i < ending_checks(); ++i) {
        if (!sleep_interruptibly(kEndingPause)) return interrupted();
        program = foreground(memo.pid);
        if (!program) return std::unexpected(program.error());
    }
    if (*program && !is_posix_shell((*program)->program.name)) {
        return runtime_error("pane " + pane.pane_id + " is running " + (*program)->program.name +
                             ", not a shell at its prompt");
    }
    // Typed before the shell waits for input, the line would be echoed
    // before its prompt (the terminal's own echo), where the wrapper does
    // not look to erase it. The shell reads right after it has drawn the prompt.
    std::string shell = *program ? (*program)->program.name : "sh";
    for (int i = 0; i < kReadyChecks && *program && !(*program)->waiting; ++i) {
        if (!sleep_interruptibly(1)) return interrupted();
        auto now = foreground(memo.pid);
        if (!now) return std::unexpected(now.error());
        if (!*now) continue;  // unknown for a moment: as it was
        program = std::move(now);
        shell = (*program)->program.name;
    }

    RunScript script;
    script.shell = shell;
    script.digits = new_digits();
    script.command = command;
    script.tmux = owner->tmux_path;
    script.socket = owner->socket_path;
    script.pane_id = pane.pane_id;

    // Where the stream is now: the start marker comes after it. Taken while
    // no mark is: one going on now could drop the bytes of our command.
    auto marks_held = hold_marks(pane);
    if (!marks_held) return std::unexpected(marks_held.error());
    const std::uint64_t from = streams::span(*stream).end;
    streams::Pin pin(*stream, from);
    { MarkHold released = std::move(*marks_held); }  // marks find the pin now
    streams::Watch watch(*stream);

    // The wrapper is a FIFO that the shell opens once it runs the typed
    // line: it is written only then, when the typing run has told where the
    // typed line began (the wrapper erases it), so no other look is needed.
    const std::string name = std::to_string(::getpid()) + "-" + std::to_string(++file_counter);
    auto files = make_run_files(pane.socket, name, command_text(script));
    if (!files) return std::unexpected(files.error());
    bool started = false;  // the shell has read the files (or never will)
    struct Cleanup {
        const SocketPath& socket;
        std::vector<std::string> files;
        const bool& started;
        std::string& memo;
        ~Cleanup() {
            if (started) {
                remove_host_files(socket, files);
            } else {
                for (const auto& file : files) memo += "\n" + file;
            }
        }
    } cleanup{pane.socket, {files->command_file, files->wrapper_fifo}, started, turn.memo()};
    const std::string& command_file = files->command_file;
    const std::string& wrapper_path = files->wrapper_fifo;
    const std::string typed = typed_line(script, wrapper_path);

    // A recording gets the caller's command in the place of the typed line.
    struct RecordingHold {
        streams::StreamId stream;
        std::optional<streams::Replacement> replacement;
        ~RecordingHold() { streams::release_recording(stream, std::move(replacement)); }
    } hold{*stream, std::nullopt};
    streams::hold_recording(*stream, from);

    // No earlier run may still go on in this shell: one that timed out (or
    // was interrupted) holds the pane, and what is typed now would be its input.
    const std::string busy = "#{m:" + std::to_string(memo.pid) + ",#{@termloom-run}}";
    const std::string typing = typing_commands(pane, typed, memo.pid);
    const Arg guard[] = {word("if-shell"), word("-F"), word("-t"), value(pane.pane_id),
                         fixed_operand(busy), fixed_operand("display-message -p busy"),
                         fixed_operand(typing)};
    auto typed_view = live_view(pane, {.before = guard, .before_lines = 1});
    if (!typed_view) return std::unexpected(typed_view.error());
    if (typed_view->before.front() != "typed") {
        started = true;
        return runtime_error("pane " + pane.pane_id + " is still running the command of an "
                             "earlier run (one that timed out or was interrupted): end it "
                             "first, e.g. with send_keys(\"C-c\")");
    }
    if (typed_view->pid != memo.pid) {
        started = true;
        return runtime_error("pane " + pane.pane_id + " exited while running " + quote_text(command));
    }
    if (!memo.files.empty()) {
        remove_host_files(pane.socket, memo.files);
        memo.files.clear();
        turn.memo() = memo_text(memo);
    }
    script.cursor_x = typed_view->screen.cursor_x;
    script.width = typed_view->screen.width;

    // Our tmux client waits on the channel, then prints the status.
    auto waiter = HostChild::start(
        tmux_argv(pane.socket,
                  {word("wait-for"), value(run_channel(script.digits)), command_separator(),
                   word("show-options"), word("-p"), word("-v"), word("-t"), value(pane.pane_id),
                   value(run_option(script.digits)), command_separator(), word("set-option"),
                   word("-p"), word("-u"), word("-t"), value(pane.pane_id),
                   value(run_option(script.digits))}),
        HostChildOptions{.input = {}, .ends_with_caller = true, .stdout_fd = -1});
    if (!waiter) {
        if (waiter.error().kind == RunError::Kind::Transport) return runtime_error(waiter.error().text);
        return runtime_error(std::string(kSpawnPrefix) + waiter.error().text);
    }

    const std::string exited = " exited while running " + quote_text(command);
    ProcessEnd shell_exit(pane, memo.pid);
    WrapperFeed feed(wrapper_path, wrapper_text(script, command_file, typed));
    auto remote = on_remote_host(pane);
    if (!remote) return std::unexpected(remote.error());
    if (*remote) {
        if (auto writing = feed.start_remote(pane); !writing) return std::unexpected(writing.error());
    }
    std::string bytes;
    std::uint64_t read_to = from;
    bool told = false;
    Seen seen;
    auto take_bytes = [&]() -> Result<streams::Span> {
        watch.clear();
        auto span = streams::read(*stream, read_to, &bytes);
        if (span.begin > read_to) return runtime_error("run failed: the pane's output stream lost bytes");
        read_to = span.end;
        seen = markers_in(bytes, script.digits);
        if (seen.start != std::string::npos || seen.unread) started = true;
        return span;
    };
    auto look = [&]() -> Result<Look> {
        auto span = take_bytes();
        if (!span) return std::unexpected(span.error());
        if (seen.unread) {
            // The wrapper's end, which takes the pane's mark away, will not
            // come: the next run would take the pane for still busy.
            (void)status_of(tmux_argv(pane.socket,
                                      {word("if-shell"), word("-F"), word("-t"), value(pane.pane_id),
                                       fixed_operand(busy),
                                       fixed_operand("set-option -p -u -t " + pane.pane_id + " @termloom-run")}));
            return runtime_error("the shell in pane " + pane.pane_id + " could not read " +
                                 quote_text(wrapper_path) + " (does it see another file system?)");
        }
        if (auto fed = feed.advance(); !fed) return std::unexpected(fed.error());
        if (waiter->read_available()) {
            told = true;
            return Look{Progress::Done, {}};
        }
        if (seen.untold && seen.status) return Look{Progress::Done, {}};
        if (span->ended) {
            if (auto failed = streams::failure(*stream); !failed.empty()) {
                return runtime_error("run failed: pane " + pane.pane_id + "'s output stream ended: " + failed);
            }
        }
        if (shell_exit.maybe_ended() || span->ended) {
            auto view = live_view(pane, {}, exited);
            if (!view || view->pid != memo.pid || span->ended) started = true;
            if (!view) return std::unexpected(view.error());
            if (view->pid != memo.pid) return runtime_error("pane " + pane.pane_id + exited);
            if (span->ended) {
                return runtime_error("run failed: pane " + pane.pane_id +
                                     "'s output stream ended (its pipe-pane was closed)");
            }
        }
        // The shell opens the wrapper within moments of the typing.
        if (!feed.fed()) return Look{Progress::Unchanged, WaitClock::now() + kFeedPause};
        return Look{Progress::Unchanged, {}};
    };
    auto done = wait_until(deadline, WakeSources{{}, shell_exit.watched(), {waiter->output_fd(), watch.fd()}},
                           look);
    if (done && *done) {
        started = true;  // the shell told its end: it has read both files
    } else if (!feed.fed()) {
        // The command goes on (or is about to start): the shell will open
        // the wrapper, and must find it there.
        WrapperFeed::finish_later(std::move(feed), pane.socket);
    }
    if (!done) return std::unexpected(done.error());
    if (!*done) {
        auto view = view_pane(pane, {});
        return timeout_error(quote_text(command) + " did not finish within " +
                             seconds_text(*timeout) + " seconds; it goes on in pane " +
                             pane.pane_id + (view ? last_screen_lines(view->screen.text) : ""));
    }

    std::optional<std::uint32_t> status;
    if (told) {
        auto ended = waiter->finish();
        if (!ended) {
            if (ended.error().kind == RunError::Kind::Transport) return runtime_error("run failed: " + ended.error().text);
            return runtime_error("could not read the exit status of tmux: " + ended.error().text);
        }
        if (!WIFEXITED(*ended) || WEXITSTATUS(*ended) != 0) {
            // The pane (or its whole server) may have gone with the shell,
            // before its end was seen otherwise (a remote shell's is not).
            auto view = live_view(pane, {}, exited);
            if (!view) return std::unexpected(view.error());
            if (view->pid != memo.pid) return runtime_error("pane " + pane.pane_id + exited);
            return runtime_error("run failed: tmux wait-for: " +
                                 std::string(trim(decode_lossy(waiter->stderr_bytes()))));
        }
        const std::string said = decode_lossy(waiter->stdout_text());
        status = parse_u32(trim(said)).value_or(UINT32_MAX);
        if (*status == UINT32_MAX) {
            return runtime_error("run failed: unexpected status from the shell: " + quote_text(said));
        }
    }
    // The end marker was written before tmux was told: it is on its way.
    if (seen.end == std::string::npos) {
        auto marker_deadline = deadline_after(Seconds{kMarkerSeconds});
        auto arrived = wait_until(marker_deadline, WakeSources{{}, 0, {watch.fd()}}, [&]() -> Result<Look> {
            auto span = take_bytes();
            if (!span) return std::unexpected(span.error());
            if (seen.end != std::string::npos || span->ended) return Look{Progress::Done, {}};
            return Look{Progress::Unchanged, {}};
        });
        if (!arrived) return std::unexpected(arrived.error());
    }
    if (seen.start == std::string::npos || seen.end == std::string::npos) {
        return runtime_error("output lost: the output of " + quote_text(command) +
                             " did not arrive in pane " + pane.pane_id + "'s output stream (exit status " +
                             (status ? std::to_string(*status) : std::string("unknown")) + ")");
    }
    if (!status) status = seen.status;
    if (auto echo = bytes.find(kTypedStart); echo < seen.start) {
        hold.replacement = streams::Replacement{from + echo, from + seen.start,
                                                summary_line(script) + "\r\n"};
    }
    auto rendered = rendered_text(std::string_view(bytes).substr(seen.start, seen.end - seen.start),
                                  typed_view->screen.width, typed_view->screen.height);
    return CommandResult{std::move(command), status.value_or(0), std::move(rendered.text)};
}

}  // namespace termloom::pane_ops

namespace termloom::command_result_ops {

std::string repr(const CommandResult& r) {
    return "CommandResult(command=" + quote_text(r.command) + ", status=" +
           std::to_string(r.status) + ", output=" + quote_text(r.output) + ")";
}

}  // namespace termloom::command_result_ops
