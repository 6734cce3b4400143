// termloom: drive tmux from Python.
//
// The module publishes only Server; every other class is reached through
// the objects Server returns. It supports one interpreter per process.
#include <atomic>
#include <cstdint>

#include "../core/connections.hpp"
#include "../core/process.hpp"
#include "../core/host_command.hpp"
#include "../core/ssh_connections.hpp"
#include "../ops/host_files.hpp"
#include "../ops/pane_stream.hpp"
#include "class_registry.hpp"
#include "errors.hpp"
#include "threads.hpp"

namespace termloom::py {
namespace {

// The first interpreter that imported us; -1 until then.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;  // set once, under the interpreter lock

PyModuleDef g_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModuleName.data(),  // a literal: NUL-terminated
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// At the interpreter's exit, the pipes that feed this process's pane
// output streams are closed (a pipe into a process that is gone would stay
// until the pane next prints), through the connections to remote hosts
// that still stand (none is made now); then our folders on those hosts go,
// and the connections are closed.
PyObject* close_streams(PyObject*, PyObject*) {
    without_interpreter_lock([] {
        stop_connecting();
        pane_ops::close_streams_at_exit();
        connections::close_all();
        remove_host_folders();
        close_ssh_connections();
        return 0;
    });
    Py_RETURN_NONE;
}

PyMethodDef g_close_streams = {"close_streams", &close_streams, METH_NOARGS, nullptr};

int close_streams_at_exit(PyObject* module) {
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (!atexit) return -1;
    PyObject* function = PyCFunction_NewEx(&g_close_streams, nullptr, module);
    PyObject* done = function ? PyObject_CallMethod(atexit, "register", "O", function) : nullptr;
    Py_XDECREF(function);
    Py_DECREF(atexit);
    if (!done) return -1;
    Py_DECREF(done);
    return 0;
}

int add_published_class(PyObject* module) {
    PyTypeObject* published = python_type<PublishedClass>();
    if (!published) return -1;
    const char* class_name = python_name<PublishedClass>::value.data();  // a literal
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* name = PyUnicode_FromString(class_name);
    int status = name ? PyList_Append(all, name) : -1;
    Py_XDECREF(name);
    Py_DECREF(all);
    if (status < 0) return -1;
    return PyModule_AddObjectRef(module, class_name, reinterpret_cast<PyObject*>(published));
}

PyObject* initialise() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    std::int64_t first = -1;
    if (!g_interpreter.compare_exchange_strong(first, id) && first != id) {
        PyErr_SetString(PyExc_ImportError,
                        "termloom does not support sub-interpreters: it can be imported "
                        "by only one interpreter per process");
        return nullptr;
    }
    if (g_module) {
        Py_INCREF(g_module);
        return g_module;
    }
    PyObject* module = PyModule_Create(&g_definition);
    if (!module) return nullptr;
    if (add_published_class(module) < 0 || close_streams_at_exit(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    // A run abandons its child when a Python signal handler raises
    // (KeyboardInterrupt, typically).
    set_interrupt_check(&python_wants_to_stop);
    // Daemon threads still waiting for tmux are frozen at exit; their
    // children would be left running.
    Py_AtExit(&kill_running_children);
    Py_INCREF(module);
    g_module = module;
    return module;
}

}  // namespace
}  // namespace termloom::py

PyMODINIT_FUNC PyInit_termloom(void) {
    return termloom::py::guarded<PyObject*>(nullptr, [] { return termloom::py::initialise(); });
}
