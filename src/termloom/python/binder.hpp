// Binding a call's positional and keyword arguments to declared parameters.
#pragma once

#include <span>
#include <string_view>

#include "interface.hpp"
#include "python.hpp"

namespace termloom::py {

// The tuple that *args was bound to, released with the call's end.
class PackedArguments {
public:
    PackedArguments() = default;
    PackedArguments(const PackedArguments&) = delete;
    PackedArguments& operator=(const PackedArguments&) = delete;
    ~PackedArguments() { Py_XDECREF(tuple_); }

    void hold(PyObject* tuple) { tuple_ = tuple; }

private:
    PyObject* tuple_ = nullptr;
};

// Fills bound[i] with a borrowed reference for each parameter, defaults
// included. On failure sets the TypeError that names `callable` (such as
// "Pane.resize()") and returns false; nothing is converted here. A final
// *args parameter is bound to a new tuple of the remaining positional
// arguments, which the caller releases with `packed`.
bool bind_arguments(std::string_view callable, const Signature& signature,
                    std::span<PyObject* const> positional,
                    std::span<PyObject* const> keyword_names,
                    std::span<PyObject* const> keyword_values, PyObject** bound,
                    PackedArguments& packed);

}  // namespace termloom::py
