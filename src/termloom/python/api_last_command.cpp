// The class object of LastCommand, built from its table.
#include "api_last_command.hpp"
#include "class_builder.hpp"

namespace termloom::py {

template <>
PyTypeObject* python_type<LastCommand>() {
    return class_object<LastCommand, kLastCommandInterface>();
}

}  // namespace termloom::py
