// Pasting text through a private tmux buffer.
#include <atomic>
#include <chrono>

#include <unistd.h>

#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

// Unique across processes (pid), threads and calls (counter), and across a
// pid reused later (the clock): no paste can take another's buffer.
std::string private_buffer_name() {
    static std::atomic<unsigned long> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return "termloom-paste-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + "-" + std::to_string(now);
}

}  // namespace

Result<bool> paste(const Pane& pane, std::string text, bool bracketed) {
    const std::string buffer = private_buffer_name();
    std::vector<Arg> args = {word("load-buffer"), word("-b"), value(buffer), fixed_operand("-"),
                             command_separator(), word("paste-buffer"), word("-d")};
    if (bracketed) args.push_back(word("-p"));
    for (Arg arg : {word("-b"), value(buffer), word("-t"), value(pane.pane_id)}) args.push_back(arg);
    // tmux refuses an empty buffer: a pane that exists is all there is to check.
    if (text.empty()) {
        args = {word("has-session"), word("-t"), value(pane.pane_id)};
    }
    // The text goes on standard input: any size, any bytes, never a word tmux parses.
    auto output = output_of(tmux_argv(pane.socket, args), Capture::Stderr, kSpawnPrefix, text);
    if (!output) return std::unexpected(output.error());
    if (succeeded(*output)) return true;
    // paste-buffer -d deletes the buffer only once it has pasted it.
    (void)status_of(tmux_argv(pane.socket, {word("delete-buffer"), word("-b"), value(buffer)}));
    return tmux_failure("paste failed: ", *output, Stderr::Trimmed);
}

}  // namespace termloom::pane_ops
