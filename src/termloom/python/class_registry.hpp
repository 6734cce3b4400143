// Which Python class stands for which core value, and making instances.
#pragma once

#include <new>
#include <string_view>
#include <utility>

#include "../ops/handles.hpp"
#include "instance.hpp"
#include "python.hpp"

namespace termloom::py {

template <class T>
struct python_name;  // defined for every value that has a Python class

template <> struct python_name<Server> { static constexpr std::string_view value = "Server"; };
template <> struct python_name<Session> { static constexpr std::string_view value = "Session"; };
template <> struct python_name<SessionMetadata> {
    static constexpr std::string_view value = "SessionMetadata";
};
template <> struct python_name<Window> { static constexpr std::string_view value = "Window"; };
template <> struct python_name<WindowMetadata> {
    static constexpr std::string_view value = "WindowMetadata";
};
template <> struct python_name<Pane> { static constexpr std::string_view value = "Pane"; };
template <> struct python_name<LastCommand> {
    static constexpr std::string_view value = "LastCommand";
};
template <> struct python_name<PaneMetadata> {
    static constexpr std::string_view value = "PaneMetadata";
};
template <> struct python_name<Connection> {
    static constexpr std::string_view value = "Connection";
};

// The records of Pane's waits and runs.
template <> struct python_name<Screen> { static constexpr std::string_view value = "Screen"; };
template <> struct python_name<Cell> { static constexpr std::string_view value = "Cell"; };
template <> struct python_name<CommandResult> {
    static constexpr std::string_view value = "CommandResult";
};
template <> struct python_name<Expectation> {
    static constexpr std::string_view value = "Expectation";
};

template <class T>
concept HasPythonClass = requires { python_name<T>::value; };

inline constexpr std::string_view kModuleName = "termloom";

// The one class in the module's namespace (and __all__); every other class
// is reached through it.
using PublishedClass = Server;

// The class object, created on first use and kept for the life of the
// process; nullptr with a Python error set if it could not be created.
// Defined beside each class's interface declaration.
template <class T>
PyTypeObject* python_type();

template <> PyTypeObject* python_type<Server>();
template <> PyTypeObject* python_type<Session>();
template <> PyTypeObject* python_type<SessionMetadata>();
template <> PyTypeObject* python_type<Window>();
template <> PyTypeObject* python_type<WindowMetadata>();
template <> PyTypeObject* python_type<Pane>();
template <> PyTypeObject* python_type<LastCommand>();
template <> PyTypeObject* python_type<Screen>();
template <> PyTypeObject* python_type<Cell>();
template <> PyTypeObject* python_type<CommandResult>();
template <> PyTypeObject* python_type<Expectation>();
template <> PyTypeObject* python_type<PaneMetadata>();
template <> PyTypeObject* python_type<Connection>();

// A new instance of `type` holding `value`; nullptr with a Python error set
// when allocation fails (the value is then dropped).
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (!object) return nullptr;
    auto* instance = static_cast<Instance<std::decay_t<T>>*>(header_of(object));
    new (&instance->guard) AccessGuard();
    new (&instance->value) std::decay_t<T>(std::forward<T>(value));
    instance->built = true;
    return object;
}

template <HasPythonClass T>
PyObject* make_instance(T value) {
    PyTypeObject* type = python_type<T>();
    if (!type) return nullptr;
    return new_instance(type, std::move(value));
}

}  // namespace termloom::py
