#include "pane_stream.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <map>
#include <random>

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "../core/host_command.hpp"
#include "../core/process.hpp"
#include "../core/private_files.hpp"
#include "../core/server_socket.hpp"
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "../core/tmux_release.hpp"
#include "../core/turns.hpp"
#include "host_files.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

// A mark looks at a pane once no byte has come for kQuietGap, and gives
// up after kQuietWait (the pane is printing).
constexpr auto kQuietGap = std::chrono::milliseconds(3);
constexpr auto kQuietWait = std::chrono::milliseconds(100);

constexpr std::string_view kPipeOption = "@termloom-pipe";
// Set while the pipe's stream records: another process does not take that
// pipe (the recording would lose output).
constexpr std::string_view kRecordingOption = "@termloom-recording";

// What tmux says when pipe-pane is given a pane whose program has ended.
constexpr std::string_view kPaneExited = "pane has exited";

// This machine and boot, so that a token's process can be looked for only
// where it ran (pids are reused across machines, containers and boots).
std::string host_tag() {
    static const std::string tag = [] {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        std::string seed = host;
        // open and read: a file stream would need glibc 2.33's fstat64.
        char boot_id[64] = {};
        const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] ssize_t got = ::read(fd, boot_id, sizeof boot_id - 1);
            ::close(fd);
        }
        seed += boot_id;
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x",
                      static_cast<unsigned>(std::hash<std::string>{}(seed) & 0xFFFFFFFFU));
        return std::string(hex);
    }();
    return tag;
}

// "PID-HOST-N": letters, digits and "-" only, so that it can stand in a
// format and in a tmux command unquoted.
std::string new_token() {
    static std::atomic<std::uint64_t> counter{std::random_device{}() & 0xFFFF};
    return std::to_string(::getpid()) + "-" + host_tag() + "-" + std::to_string(++counter);
}

// Whether a pane option holds a token of termloom's, of any process and host.
bool is_token(std::string_view token) {
    const auto fields = split_fields(token, '-');
    return fields.size() == 3 && parse_u32(fields[0]) && fields[1].size() == 8 && parse_u32(fields[2]);
}

// A token of this process: where it names a pipe that is not one of our
// live streams, someone's own pipe-pane replaced ours (and our pipe's end
// has not yet taken the name off the pane).
bool own_token(std::string_view token) {
    const auto fields = split_fields(token, '-');
    return fields.size() == 3 && fields[1] == host_tag() &&
           fields[0] == std::to_string(::getpid());
}

// A token of a process of this machine that no longer runs: its pipe is
// left over, and may be taken.
bool left_over(std::string_view token) {
    const auto dash = token.find('-');
    if (dash == std::string_view::npos) return false;
    const auto second = token.find('-', dash + 1);
    if (second == std::string_view::npos || token.substr(dash + 1, second - dash - 1) != host_tag()) {
        return false;
    }
    auto pid = parse_u32(token.substr(0, dash));
    if (!pid || *pid == 0 || static_cast<pid_t>(*pid) == ::getpid()) return false;
    return ::kill(static_cast<pid_t>(*pid), 0) != 0 && errno == ESRCH;
}

// `text` for the inside of a tmux command string's double quotes.
std::string in_tmux_double_quotes(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '$') out += '\\';
        out += c;
    }
    return out;
}

// `text` as a format expands it back (pipe-pane expands its command).
std::string format_escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '#') out += '#';
        out += c;
    }
    return out;
}

// The command of a pipe named `token`: copy the pane's output into the
// FIFO (closed as soon as the copy ends: that is our end of file); when the
// copy ends (the pipe closed, by us or by someone's own pipe-pane), take
// our name off the pane if it is still this pipe's, so that no termloom
// process takes the pipe that replaced it for ours. `tmux` is the tmux
// program on the pane's host.
std::string pipe_command(const Pane& pane, const std::string& fifo, const std::string& token,
                         const std::string& tmux, bool remote) {
    const std::string& p = pane.pane_id;
    // Written as pipe-pane's format expansion reads it: "##" is a "#".
    const std::string after = format_escaped(shell_quoted(tmux)) +
                              " -S #{q:socket_path} if-shell -F -t " + p + " '##{==:##{" +
                              std::string(kPipeOption) + "}," + token + "}' 'set-option -p -u -t " + p +
                              " " + std::string(kPipeOption) + " ; set-option -p -u -t " + p + " " +
                              std::string(kRecordingOption) + "' >/dev/null 2>&1";
    // Here the FIFO is opened read-write first, which never waits for a
    // reader, then for writing alone: if this process is gone (no reader),
    // the copy ends at its first write instead of waiting for a reader for
    // ever. A remote host's reader starts only once the pipe is open, so
    // there the copy waits for it.
    const std::string open = remote ? "exec 4>" + fifo + "; "
                                    : "exec 3<>" + fifo + " 4>" + fifo + " 3<&-; ";
    return "pipe-pane -O -t " + p + " \"" + open + "cat >&4; exec 4>&-; " + in_tmux_double_quotes(after) +
           "\"";
}

struct PipeState {
    bool piped = false;
    std::string token;
    std::string recording;  // the token of the stream that records
    std::string socket_path;
};

// "#{pane_pipe}|#{@termloom-pipe}|#{@termloom-recording}|socket", the last
// with its escapes.
std::optional<PipeState> parse_pipe_state(std::string_view line) {
    auto fields = split_fields(line, '|', 4);
    if (fields.size() != 4) return std::nullopt;
    auto socket = restored_text(fields[3]);
    if (!socket) return std::nullopt;
    return PipeState{fields[0] == "1", std::string(fields[1]), std::string(fields[2]),
                     std::move(*socket)};
}

// The pipe is opened in the same tmux run as the view: with `condition`
// true, `then` runs, else `otherwise` (tmux command strings of our own).
struct PipeCommands {
    std::string condition, then, otherwise;
};

// What output can change in a pane besides its screen's text, cursor and
// history: its title and modes. One line, the title escaped.
const std::string& output_state_format() {
    static const std::string format =
        "#{cursor_flag}#{insert_flag}#{keypad_cursor_flag}#{keypad_flag}#{mouse_any_flag}"
        "#{wrap_flag}#{origin_flag}#{mouse_all_flag}#{mouse_button_flag}#{mouse_standard_flag}"
        "#{mouse_utf8_flag}#{mouse_sgr_flag},#{scroll_region_upper},#{scroll_region_lower},"
        "#{alternate_saved_x},#{alternate_saved_y}|" + escaped_format("pane_title");
    return format;
}

// Whether two views of a pane show the same: then tmux read no output that
// changed anything between them.
bool same_output(const PaneView& a, const PaneView& b) {
    return a.screen.text == b.screen.text && a.written == b.written &&
           a.screen.cursor_x == b.screen.cursor_x && a.screen.cursor_y == b.screen.cursor_y &&
           a.screen.width == b.screen.width && a.screen.height == b.screen.height &&
           a.screen.alternate == b.screen.alternate && a.history_size == b.history_size &&
           !a.before.empty() && !b.before.empty() && a.before.back() == b.before.back();
}

Result<std::pair<PaneView, PipeState>> view_with_pipe(const Pane& pane, ViewOptions options,
                                                     const PipeCommands& pipe) {
    const std::string state = "#{pane_pipe}|#{" + std::string(kPipeOption) + "}|#{" +
                              std::string(kRecordingOption) + "}|" + escaped_format("socket_path");
    const Arg before[] = {word("if-shell"), word("-F"), word("-t"), value(pane.pane_id),
                          fixed_operand(pipe.condition), fixed_operand(pipe.then),
                          fixed_operand(pipe.otherwise), command_separator(),
                          word("display-message"), word("-p"), word("-t"), value(pane.pane_id),
                          fixed_operand(state), command_separator(),
                          word("display-message"), word("-p"), word("-t"), value(pane.pane_id),
                          fixed_operand(output_state_format())};
    options.before = before;
    options.before_lines = 2;
    auto view = view_pane(pane, options);
    if (!view) return std::unexpected(view.error());
    if (view->gone.find(kPaneExited) != std::string::npos) {
        // From tmux 3.3 on, pipe-pane refuses a pane whose program has ended,
        // and the run stopped there: the pane is there, dead, and its old
        // pipe stays open while the pane stays. Seen again without a pipe.
        ViewOptions plain = options;
        plain.before = {};
        plain.before_lines = 0;
        view = view_pane(pane, plain);
        if (!view) return std::unexpected(view.error());
        if (view->gone.empty()) view->dead = true;  // tmux said so, even before it reaped it
        return std::pair{std::move(*view), PipeState{}};
    }
    if (!view->gone.empty()) return std::pair{std::move(*view), PipeState{}};
    auto parsed = parse_pipe_state(view->before.front());
    if (!parsed) return runtime_error("unexpected tmux pipe state: " + quote_text(view->before.front()));
    return std::pair{std::move(*view), std::move(*parsed)};
}

// Where one source of a pane's stream comes from: a FIFO on the tmux host
// that the pipe writes to, and the descriptor this process reads. On this
// machine that is the FIFO itself; on a remote host, a pipe that a reader
// there (`cat` of the FIFO, through the transport) writes to once the pipe
// into the FIFO is open.
struct Feed {
    std::string fifo;
    streams::Source source;
    std::string tmux;    // the tmux program on the pane's host
    int write_end = -1;  // remote: the reader's end of the pipe, until it is started
    bool remote = false;
};

Result<Feed> new_feed(const Pane& pane) {
    auto host = host_of(pane.socket);
    if (!host) return value_error(std::move(host.error().text));
    auto tmux = tmux_program_on_host(pane.socket);
    if (!tmux) return std::unexpected(tmux.error());
    auto fifo = make_stream_fifo(pane.socket);
    if (!fifo) return std::unexpected(fifo.error());
    streams::Source source;
    if (!host->remote()) {
        source.fd = fifo->fd;
        source.path = fifo->path;
        return Feed{fifo->path, std::move(source), *tmux};
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const int err = errno;
        remove_host_files(pane.socket, {fifo->path});
        return runtime_error(std::string("cannot make a pipe: ") + std::strerror(err));
    }
    source.fd = fds[0];
    source.prefix = std::string(remote_output_prefix());
    source.label = "reading pane " + pane.pane_id + "'s output from " + host_label(*host);
    return Feed{fifo->path, std::move(source), *tmux, fds[1], true};
}

std::string pipe_command(const Pane& pane, const Feed& feed, const std::string& token) {
    return pipe_command(pane, feed.fifo, token, feed.tmux, feed.remote);
}

// A feed tmux did not open a pipe into: its FIFO and its pipe go (the
// source itself is released by whoever holds it).
void drop_feed(const Pane& pane, Feed& feed) {
    if (feed.write_end >= 0) {
        ::close(feed.write_end);
        feed.write_end = -1;
        remove_host_files(pane.socket, {feed.fifo});
    }
}

// Once tmux has opened the pipe into the feed's FIFO (its writer waits for
// a reader there): the reader on the remote host, which takes the FIFO's
// name away once both ends are open. Nothing to do on this machine.
void start_feed(const Pane& pane, Feed& feed, streams::StreamId stream, std::uint32_t number) {
    if (feed.write_end < 0) return;
    const int write_end = feed.write_end;
    feed.write_end = -1;
    auto reader = HostChild::start(
        HostCommand{pane.socket, {"sh", "-c", "exec <\"$1\"&&rm -f \"$1\"&&exec cat", "sh", feed.fifo}},
        HostChildOptions{.input = {}, .ends_with_caller = false, .stdout_fd = write_end});
    if (!reader) {
        // The pipe's end is closed: the source ends, as a failed one.
        remove_host_files(pane.socket, {feed.fifo});
        return;
    }
    auto released = reader->release_child();
    streams::attach_child(stream, number, released.pid, released.stderr_fd);
}

// Why a pane whose program has ended gets no pipe of ours (tmux 3.3 on).
std::string ended_refusal(const Pane& pane) {
    return "pane " + pane.pane_id + "'s program has ended, and tmux pipes no output of such a pane";
}

struct Opening {
    MarkedView seen;
    PipeState state;
};

// One try at a pipe of our own into a new feed under a new token: `make`
// gives the commands for the feed and the token.
Result<Opening> try_open(const Pane& pane, ViewOptions options,
                         const std::function<PipeCommands(const Feed&, const std::string&)>& make) {
    auto feed = new_feed(pane);
    if (!feed) return std::unexpected(feed.error());
    const std::string token = new_token();
    auto seen = view_with_pipe(pane, options, make(*feed, token));
    if (seen && seen->first.gone.empty() && seen->second.piped && seen->second.token == token) {
        auto stream = streams::create(
            stream_key(pane), feed->source,
            streams::Owner{pane.socket, pane.pane_id, token, seen->second.socket_path, feed->tmux});
        if (!stream) {
            drop_feed(pane, *feed);
            return std::unexpected(stream.error());
        }
        start_feed(pane, *feed, *stream, 0);
        return Opening{MarkedView{std::move(seen->first), StreamMark{*stream, 0}, {}}, seen->second};
    }
    ::close(feed->source.fd);
    if (!feed->source.path.empty()) remove_private_file(feed->source.path);
    drop_feed(pane, *feed);
    if (!seen) return std::unexpected(seen.error());
    return Opening{MarkedView{std::move(seen->first), std::nullopt, {}}, seen->second};
}

std::string opened(const Pane& pane, const Feed& feed, const std::string& token) {
    return pipe_command(pane, feed, token) + " ; set-option -p -t " + pane.pane_id + " " +
           std::string(kPipeOption) + " " + token;
}

// Opens a stream where the pane has none of ours: a pipe is made where
// there is none, or taken from another termloom process (an ended one's is
// left over; a running one's goes to the process that asks last, unless it
// records). A pipe of anyone else is never touched.
Result<MarkedView> open_with_view(const Pane& pane, ViewOptions options) {
    auto first = try_open(pane, options, [&](const Feed& feed, const std::string& token) {
        return PipeCommands{"#{pane_pipe}", "", opened(pane, feed, token)};
    });
    if (!first) return std::unexpected(first.error());
    if (!first->seen.mark && first->seen.view.gone.empty() && first->seen.view.dead) {
        first->seen.refused = ended_refusal(pane);
        return std::move(first->seen);
    }
    if (first->seen.mark || !first->seen.view.gone.empty() || !first->state.piped) {
        return std::move(first->seen);
    }
    const std::string other = first->state.token;
    const std::string pid = other.substr(0, other.find('-'));
    if (!is_token(other) || own_token(other)) {
        first->seen.refused = "pane " + pane.pane_id + "'s output is piped elsewhere (pipe-pane), "
                              "and termloom does not replace another's pipe";
        return std::move(first->seen);
    }
    const bool ended = left_over(other);
    if (!ended && !first->state.recording.empty()) {
        first->seen.refused = "pane " + pane.pane_id + "'s output is recorded by another termloom "
                              "process (pid " + pid + ")";
        return std::move(first->seen);
    }
    // Only that pipe, if it is still that one, and (its process running) still not recording.
    const std::string still = "#{==:#{" + std::string(kPipeOption) + "}," + other + "}";
    const std::string condition =
        ended ? still : "#{&&:" + still + ",#{==:#{" + std::string(kRecordingOption) + "},}}";
    auto taken = try_open(pane, options, [&](const Feed& feed, const std::string& token) {
        return PipeCommands{condition, "pipe-pane -t " + pane.pane_id + " ; " + opened(pane, feed, token), ""};
    });
    if (!taken) return std::unexpected(taken.error());
    if (!taken->seen.mark && taken->seen.view.gone.empty()) {
        taken->seen.refused = "pane " + pane.pane_id + "'s output is piped by another termloom "
                              "process, which went on using it";
    }
    return std::move(taken->seen);
}

}  // namespace

std::string stream_key(const Pane& pane) {
    return (pane.socket ? "S" + *pane.socket : std::string("D")) + "\n" + pane.pane_id;
}

Result<MarkHold> hold_marks(const Pane& pane) {
    auto turn = take_turn(stream_key(pane) + "\nstream", std::nullopt);
    if (!turn) return std::unexpected(turn.error());
    return std::move(**turn);
}

Result<MarkedView> marked_view(const Pane& pane, ViewOptions options, const MarkHold* held) {
    // One at a time per pane in this process: two threads opening its stream
    // at once would each find the other's pipe.
    std::optional<MarkHold> own;
    if (!held) {
        auto turn = hold_marks(pane);
        if (!turn) return std::unexpected(turn.error());
        own.emplace(std::move(*turn));
    }
    auto live = streams::find(stream_key(pane));
    auto owner = live ? streams::owner(*live) : std::nullopt;
    // A pipe tmux closed is no longer ours, whether or not its end has been
    // read: the pane may be piped by someone else now.
    if (live && streams::writer_gone(*live)) live.reset();
    if (!live || !owner) return open_with_view(pane, options);
    if (streams::in_use(*live)) {
        auto view = view_pane(pane, options);
        if (!view) return std::unexpected(view.error());
        return MarkedView{std::move(*view), std::nullopt,
                          "a run, a recording or a wait of this process reads pane " + pane.pane_id +
                              "'s output stream, and a mark then could cost it output",
                          true};
    }
    // tmux drops what it holds for a pipe it closes, so the pipe is reopened
    // only when the pane is quiet: first a look of its own, with no byte
    // arriving meanwhile.
    const Arg output_state[] = {word("display-message"), word("-p"), word("-t"), value(pane.pane_id),
                                fixed_operand(output_state_format())};
    ViewOptions looked = options;
    looked.before = output_state;
    looked.before_lines = 1;
    std::optional<PaneView> quiet;
    std::optional<std::uint64_t> quiet_end;
    const auto give_up = std::chrono::steady_clock::now() + kQuietWait;
    for (;;) {
        const auto before = streams::span(*live);
        const auto now = std::chrono::steady_clock::now();
        const bool late = now >= give_up;
        if (!late && now - before.last_byte < kQuietGap) {
            if (!sleep_interruptibly(1)) return interrupted();
            continue;
        }
        auto first = view_pane(pane, looked);
        if (!first) return std::unexpected(first.error());
        quiet = std::move(*first);
        // Gone or dead, the pane prints nothing more: nothing to drop.
        if (!quiet->gone.empty() || quiet->dead) break;
        if (streams::span(*live).end == before.end && now - before.last_byte >= kQuietGap) {
            quiet_end = before.end;
            break;
        }
        if (late) break;
    }
    const bool settled = !quiet->gone.empty() || quiet->dead;
    if (!quiet_end && !settled) {
        return MarkedView{std::move(*quiet), std::nullopt,
                          "pane " + pane.pane_id + " was printing, and a mark then could lose "
                          "output (tmux drops what it holds for a pipe it closes)",
                          true};
    }
    auto feed = new_feed(pane);
    if (!feed) return std::unexpected(feed.error());
    auto number = streams::add_source(*live, feed->source, quiet_end);
    if (!number) {
        drop_feed(pane, *feed);
        return open_with_view(pane, options);  // it ended meanwhile
    }
    // Each pipe has a name of its own: the closed one's end (its cat) then
    // leaves the new one's alone.
    const std::string token = new_token();
    // Only our pipe, still open: one that someone closed has left a gap.
    PipeCommands reopen{"#{&&:#{pane_pipe},#{==:#{" + std::string(kPipeOption) + "}," + owner->token + "}}",
                        "pipe-pane -t " + pane.pane_id + " ; " + opened(pane, *feed, token), ""};
    auto seen = view_with_pipe(pane, options, reopen);
    if (!seen) {
        streams::cancel_source(*live, *number);
        drop_feed(pane, *feed);
        return std::unexpected(seen.error());
    }
    auto& [view, state] = *seen;
    if (view.gone.empty() && state.piped && state.token == token) {
        streams::set_token(*live, token);
        start_feed(pane, *feed, *live, *number);
        // What the pane shows changed between the looks: tmux read output
        // then, and may have held some of it for the old pipe.
        streams::verify_source(*live, *number, settled || same_output(*quiet, view));
        return MarkedView{std::move(view), StreamMark{*live, *number}, {}};
    }
    streams::cancel_source(*live, *number);
    drop_feed(pane, *feed);
    std::string refused = view.gone.empty() && view.dead
                              ? ended_refusal(pane)
                              : "pane " + pane.pane_id + "'s output is no longer piped to this process";
    return MarkedView{std::move(view), std::nullopt, std::move(refused)};
}

Result<PipedView> view_of_own_pipe(const Pane& pane, streams::StreamId stream) {
    auto owner = streams::owner(stream);
    const std::string ours = owner ? "#{&&:#{pane_pipe},#{==:#{" + std::string(kPipeOption) + "}," +
                                         owner->token + "}}"
                                   : std::string("0");
    const Arg before[] = {word("display-message"), word("-p"), word("-t"), value(pane.pane_id),
                          fixed_operand(ours)};
    auto view = view_pane(pane, {.before = before, .before_lines = 1});
    if (!view) return std::unexpected(view.error());
    const bool piped = view->gone.empty() && !view->before.empty() && view->before.front() == "1";
    return PipedView{std::move(*view), piped && owner && !streams::writer_gone(stream)};
}

Result<MarkedView> live_marked_view(const Pane& pane, ViewOptions options) {
    auto seen = marked_view(pane, options);
    if (!seen) return seen;
    if (!seen->view.gone.empty() || seen->view.dead) {
        auto gone = live_view(pane, {});
        if (!gone) return std::unexpected(gone.error());
    }
    return seen;
}

Result<streams::StreamId> pane_stream(const Pane& pane, std::string_view failed) {
    if (auto live = streams::find(stream_key(pane))) return *live;
    auto seen = marked_view(pane, {});
    if (!seen) return std::unexpected(seen.error());
    if (!seen->view.gone.empty()) return runtime_error(std::string(failed) + seen->view.gone);
    if (!seen->mark) return runtime_error(std::string(failed) + seen->refused);
    return seen->mark->stream;
}

Result<std::uint64_t> mark_position(const StreamMark& mark,
                                    std::optional<WaitClock::time_point> deadline) {
    streams::Watch watch(mark.stream);
    std::optional<std::uint64_t> position;
    auto look = [&]() -> Result<Look> {
        watch.clear();
        position = streams::source_start(mark.stream, mark.source);
        if (position) return Look{Progress::Done, {}};
        if (!streams::source_pending(mark.stream, mark.source)) {
            // Reached between the two looks: its start is known now.
            position = streams::source_start(mark.stream, mark.source);
            if (position) return Look{Progress::Done, {}};
            if (auto failed = streams::failure(mark.stream); !failed.empty()) {
                return runtime_error("the pane's output stream ended before the mark: " + failed);
            }
            return runtime_error("the pane's output stream ended before the mark");
        }
        return Look{Progress::Unchanged, {}};
    };
    auto done = wait_until(deadline, WakeSources{{}, 0, {watch.fd()}}, look);
    if (!done) return std::unexpected(done.error());
    if (!*done) return timeout_error("the pane's output did not reach the mark in time");
    return *position;
}

Result<void> mark_recording(const Pane& pane, bool recording) {
    auto live = streams::find(stream_key(pane));
    auto owner = live ? streams::owner(*live) : std::nullopt;
    if (!owner) return {};
    const std::string ours = "#{==:#{" + std::string(kPipeOption) + "}," + owner->token + "}";
    const std::string set = recording ? "set-option -p -t " + pane.pane_id + " " +
                                            std::string(kRecordingOption) + " 1"
                                      : "set-option -p -u -t " + pane.pane_id + " " +
                                            std::string(kRecordingOption);
    auto done = status_of(tmux_argv(pane.socket, {word("if-shell"), word("-F"), word("-t"),
                                                  value(pane.pane_id), fixed_operand(ours),
                                                  fixed_operand(set)}));
    if (!done) return std::unexpected(done.error());
    return {};
}

void close_streams_at_exit() {
    // One tmux run per server: each pane's pipe closed where it is still
    // ours, and the option naming it removed.
    std::map<std::optional<std::string>, std::vector<Arg>> runs;
    std::vector<std::string> texts;  // what the arguments point into
    const auto owners = streams::all_owners();
    texts.reserve(owners.size() * 2);
    for (const auto& [live, owner] : owners) {
        // An ended stream's pipe is gone already, and a server whose socket
        // is gone has nothing left to close. (A remote one is just asked.)
        if (!live) continue;
        auto host = parse_server_address(owner.address);
        if (!host) continue;
        if (!host->remote() && host->socket &&
            socket_path_state(*host->socket) != SocketPathState::Socket) {
            continue;
        }
        const std::string& p = owner.pane_id;
        texts.push_back("#{==:#{" + std::string(kPipeOption) + "}," + owner.token + "}");
        const std::string& condition = texts.back();
        // The names first: a dead pane's pipe-pane fails (tmux 3.3 on).
        texts.push_back("set-option -p -u -t " + p + " " + std::string(kPipeOption) +
                        " ; set-option -p -u -t " + p + " " + std::string(kRecordingOption) +
                        " ; pipe-pane -t " + p);
        std::vector<Arg>& args = runs[owner.address];
        if (!args.empty()) args.push_back(command_separator());
        args.insert(args.end(), {word("if-shell"), word("-F"), word("-t"), value(p),
                                 fixed_operand(condition), fixed_operand(texts.back())});
    }
    for (const auto& [address, args] : runs) (void)status_of(tmux_argv(address, args));
}

}  // namespace termloom::pane_ops
