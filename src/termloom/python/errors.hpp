// Turning core errors into Python exceptions, and the messages the binding
// layer itself raises.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "../core/error.hpp"
#include "python.hpp"

namespace termloom::py {

// Sets the Python exception for `error` (an interruption leaves the pending
// one in place). Always returns nullptr, for `return raise(...)`.
PyObject* raise(const Error& error);

// TypeError "'<type of value>' object cannot be cast as '<expected>'".
void raise_cast_error(PyObject* value, std::string_view expected);

// The __qualname__ of the value's type, "?" when it cannot be read.
std::string type_name_of(PyObject* value);

// Re-raises a pending TypeError as "argument '<name>': <message>", keeping its
// cause; any other pending exception is left as it is.
void prefix_argument_error(std::string_view name);

void raise_runtime_error(std::string_view message);

// TypeError for an object whose value was never constructed (one made by a
// replaced __new__).
void raise_uninitialised(PyObject* object);

// Runs an entry point's body so that no C++ exception crosses into the
// interpreter: an unexpected failure becomes a Python exception instead.
// Only the unwinding of a thread that the interpreter stops at shutdown
// (pthread_exit) goes on through, as it must.
template <class Fallback, class Body>
auto guarded(Fallback failed, Body body) -> decltype(body()) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_runtime_error(std::string("internal error: ") + e.what());
    } catch (...) {
        raise_runtime_error("internal error");
    }
    return failed;
}

}  // namespace termloom::py
