// Typing literal text into a pane.
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "pane_view.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {
namespace {

// tmux takes a command message of at most 16384 bytes, its header and the
// argument count included: 16364 bytes are left for the words of the
// commands, each with its terminating NUL (the same on 3.1c, 3.3a and 3.5a;
// the client's own options, -S and -u, are not sent). A longer one fails
// with "failed to send command" or "command too long".
constexpr std::size_t kCommandBytes = 16364;
// What escaping may add to the typed word: "--" before it and "\" before a
// final ";".
constexpr std::size_t kEscapeBytes = 4;
constexpr std::size_t kLongestCharacter = 4;  // bytes of one UTF-8 sequence

bool continues_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t characters_in(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) count += continues_character(c) ? 0 : 1;
    return count;
}

// The bytes of the command words other than the typed text, as tmux_argv
// writes them.
std::size_t fixed_bytes(const Pane& pane, bool enter) {
    const auto argv = tmux_argv(std::nullopt, typing(pane, "", enter)).argv;
    std::size_t bytes = 0;
    bool command = false;  // past the client's own words ("tmux", "-u")
    for (const std::string& part : argv) {
        command = command || part == "send-keys";
        if (command) bytes += part.size() + 1;
    }
    return bytes;
}

// The pieces of `text` that each fit in one command, cut only between
// characters.
std::vector<std::string_view> pieces(std::string_view text, std::size_t room) {
    std::vector<std::string_view> out;
    while (text.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && continues_character(text[cut])) --cut;
        out.push_back(text.substr(0, cut));
        text.remove_prefix(cut);
    }
    out.push_back(text);
    return out;
}

}  // namespace

std::vector<Arg> typing(const Pane& pane, std::string_view keys, bool enter) {
    std::vector<Arg> args = {word("send-keys"), word("-t"), value(pane.pane_id), word("-l"),
                             operand(keys)};
    if (enter) {
        for (Arg arg : {command_separator(), word("send-keys"), word("-t"), value(pane.pane_id),
                        fixed_operand("Enter")}) {
            args.push_back(arg);
        }
    }
    return args;
}

Result<bool> send_text(const Pane& pane, std::string text, bool enter) {
    // No key of a terminal sends it, and no argument can carry it to tmux.
    if (text.find('\0') != std::string::npos) {
        return value_error("send_text: NUL (\"\\0\") cannot be typed");
    }
    // The terminal's Enter sends a carriage return.
    for (char& c : text) {
        if (c == '\n') c = '\r';
    }
    // Longer text is typed by several tmux runs, one after the other, each
    // given room for its escapes and the Enter; every piece is one word.
    const std::size_t used = fixed_bytes(pane, enter) + kEscapeBytes;
    if (used + kLongestCharacter > kCommandBytes) {  // a huge pane id: tmux says what it thinks
        return action_run(tmux_argv(pane.socket, typing(pane, text, enter)), "send text failed: ");
    }
    const auto all = pieces(text, kCommandBytes - used);
    constexpr std::string_view kFailed = "send text failed: ";
    std::size_t typed = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const bool last = i + 1 == all.size();
        auto output = output_of(tmux_argv(pane.socket, typing(pane, all[i], enter && last)),
                                Capture::Stderr, kSpawnPrefix);
        if (output && succeeded(*output)) {
            typed += characters_in(all[i]);
            continue;
        }
        if (!output && output.error().kind != ErrorKind::Runtime) return std::unexpected(output.error());
        // Either the system's words (tmux did not start) or tmux's.
        std::string reason = output ? std::string(trim(decode_lossy(std::move(output->stderr_bytes))))
                                    : std::move(output.error().message);
        if (all.size() == 1) {
            return runtime_error(output ? std::string(kFailed) + reason : std::move(reason));
        }
        // What the earlier runs typed stays typed: the message says how much.
        return runtime_error(std::string(kFailed) + std::to_string(typed) + " of " +
                             std::to_string(characters_in(text)) +
                             " characters were typed, then: " + reason);
    }
    return true;
}


}  // namespace termloom::pane_ops
