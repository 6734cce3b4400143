// The Python interface of LastCommand (handed out by Pane.last_command), as data.
#pragma once

#include "../ops/pane.hpp"
#include "interface.hpp"

namespace termloom::py {

inline constexpr std::array kLastCommandInterface = {
    field<&LastCommand::pane_id>("pane_id"),
    field<&LastCommand::socket>("socket"),
    method<&last_command_ops::read>(
        "read",
        "Read the last bash command from this pane.\n\nReturns:\n    The last command as a string.\n\n"
        "WARNING: using this function might mess up your pane history"),
    method<&last_command_ops::run>(
        "run", "Run the last bash command from this pane.\n\nReturns:\n    True on success."),
    representation<&last_command_ops::repr>(),
};

}  // namespace termloom::py
