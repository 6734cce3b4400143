// Binding a call's positional and keyword arguments to declared parameters.
#pragma once

#include <span>
#include <string_view>

#include "interface.hpp"
#include "python.hpp"

namespace termloom::py {

// Fills bound[i] with a borrowed reference for each parameter, defaults
// included. On failure sets the TypeError that names `callable` (such as
// "Pane.resize()") and returns false; nothing is converted here.
bool bind_arguments(std::string_view callable, const Signature& signature,
                    std::span<PyObject* const> positional,
                    std::span<PyObject* const> keyword_names,
                    std::span<PyObject* const> keyword_values, PyObject** bound);

}  // namespace termloom::py
