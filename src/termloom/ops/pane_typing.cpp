// Typing literal text into a pane.
#include "../core/tmux_command.hpp"
#include "pane.hpp"
#include "pane_view.hpp"
#include "run_tmux.hpp"

namespace termloom::pane_ops {

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
    return action_run(tmux_argv(pane.socket, typing(pane, text, enter)), "send text failed: ");
}


}  // namespace termloom::pane_ops
