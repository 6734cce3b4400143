// The Python interface of LastCommand, which Pane.last_command hands out.
#include "../ops/pane.hpp"
#include "class_builder.hpp"

namespace termloom::py {
namespace {

namespace ops = last_command_ops;

constexpr std::array kLastCommandInterface = {
    field<&LastCommand::pane_id>("pane_id"),
    field<&LastCommand::socket>("socket"),
    method<&ops::read>(
        "read",
        "Read the last bash command from this pane.\n\nReturns:\n    The last command as a string.\n\n"
        "WARNING: using this function might mess up your pane history"),
    method<&ops::run>("run", "Run the last bash command from this pane.\n\nReturns:\n    True on success."),
    representation<&ops::repr>(),
};

}  // namespace

template <>
PyTypeObject* python_type<LastCommand>() {
    return class_object<LastCommand, kLastCommandInterface>();
}

}  // namespace termloom::py
