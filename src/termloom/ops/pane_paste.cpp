// Pasting text through a private tmux buffer.
#include <atomic>
#include <chrono>

#include <unistd.h>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

// Unique across processes (pid), threads and calls (counter), and across a
// pid reused later (the clock): no paste can take another's buffer. Only
// letters, digits and dashes: the name is also written into a tmux command
// string below.
std::string private_buffer_name() {
    static std::atomic<unsigned long> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return "termloom-paste-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + "-" + std::to_string(now);
}

// What a program in bracketed-paste mode takes as the end of the paste:
// whatever follows it in the text would arrive as typed, and a shell would
// run it.
constexpr std::string_view kPasteEnd = "\x1b[201~";

// Printed instead of pasting when the pane is dead.
constexpr std::string_view kDeadMark = "termloom-pane-dead";

// The number of characters (not bytes) of UTF-8 text before byte `at`.
std::size_t characters_before(std::string_view text, std::size_t at) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < at; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++count;
    }
    return count;
}

}  // namespace

Result<bool> paste(const Pane& pane, std::string text, bool bracketed) {
    if (bracketed) {
        if (const std::size_t at = text.find(kPasteEnd); at != std::string::npos) {
            return value_error(
                "paste: the text holds the end-of-paste sequence \"\\x1b[201~\" (ESC [ 2 0 1 ~) "
                "at index " + std::to_string(characters_before(text, at)) +
                ": a program would take what follows it as typed");
        }
    }
    const std::string buffer = private_buffer_name();
    // tmux 3.1c and 3.3a end the whole server when paste-buffer writes to a
    // dead pane. The pane is looked at in the same tmux run, by commands
    // that run one after the other with nothing in between: a dead pane gets
    // the buffer deleted and a mark printed instead, and paste-buffer then
    // fails on the missing buffer before it reaches the pane.
    const std::string when_dead =
        "delete-buffer -b " + buffer + " ; display-message -p " + std::string(kDeadMark);
    std::vector<Arg> args = {word("load-buffer"), word("-b"), value(buffer), fixed_operand("-"),
                             command_separator(), word("if-shell"), word("-F"), word("-t"),
                             value(pane.pane_id), fixed_operand("#{pane_dead}"), fixed_operand(when_dead),
                             command_separator(), word("paste-buffer"), word("-d")};
    if (bracketed) args.push_back(word("-p"));
    for (Arg arg : {word("-b"), value(buffer), word("-t"), value(pane.pane_id)}) args.push_back(arg);
    // tmux refuses an empty buffer: a pane that exists is all there is to check.
    if (text.empty()) {
        args = {word("has-session"), word("-t"), value(pane.pane_id)};
    }
    // The text goes on standard input: any size, any bytes, never a word tmux parses.
    auto output = output_of(tmux_argv(pane.socket, args), Capture::Both, kSpawnPrefix, text);
    if (!output) return std::unexpected(output.error());
    if (succeeded(*output)) return true;
    if (without_line_end(output->stdout_bytes) == kDeadMark) {
        return runtime_error("paste failed: pane " + pane.pane_id +
                             " is dead: its process has exited");
    }
    // paste-buffer -d deletes the buffer only once it has pasted it.
    (void)status_of(tmux_argv(pane.socket, {word("delete-buffer"), word("-b"), value(buffer)}));
    return tmux_failure("paste failed: ", *output, Stderr::Trimmed);
}

}  // namespace termloom::pane_ops
