#include "errors.hpp"

#include <string>

namespace termloom::py {
namespace {

PyObject* new_text(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void set_error(PyObject* type, std::string_view message) {
    // Built with an explicit length: tmux's error text may hold NUL bytes.
    PyObject* text = new_text(message);
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

std::string qualified_name(PyObject* type) {
    PyObject* name = PyObject_GetAttrString(type, "__qualname__");
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    std::string result = utf8 ? std::string(utf8, static_cast<std::size_t>(size)) : "?";
    if (!utf8) PyErr_Clear();
    Py_DECREF(name);
    return result;
}

}  // namespace

std::string type_name_of(PyObject* value) {
    return qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

void raise_runtime_error(std::string_view message) { set_error(PyExc_RuntimeError, message); }

void raise_uninitialised(PyObject* object) {
    set_error(PyExc_TypeError, "this " + qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object))) +
                                   " object was not made by its class and holds no value");
}

PyObject* raise(const Error& error) {
    switch (error.kind) {
        case ErrorKind::Runtime:
            set_error(PyExc_RuntimeError, error.message);
            break;
        case ErrorKind::Value:
            set_error(PyExc_ValueError, error.message);
            break;
        case ErrorKind::Timeout:
            set_error(PyExc_TimeoutError, error.message);
            break;
        case ErrorKind::Interrupted:
            // The interrupt check left the host's own exception pending.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            break;
    }
    return nullptr;
}

void raise_cast_error(PyObject* value, std::string_view expected) {
    std::string message = "'";
    message += qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    message += "' object cannot be cast as '";
    message += expected;
    message += '\'';
    set_error(PyExc_TypeError, message);
}

void prefix_argument_error(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* original = value ? PyObject_Str(value) : nullptr;
    Py_ssize_t size = 0;
    const char* text = original ? PyUnicode_AsUTF8AndSize(original, &size) : nullptr;
    if (!text) {
        // Describing the first error failed; report that failure instead.
        Py_XDECREF(original);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    std::string message = "argument '" + std::string(name) + "': " +
                          std::string(text, static_cast<std::size_t>(size));
    Py_DECREF(original);
    PyObject* message_object = new_text(message);
    PyObject* replacement =
        message_object ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message_object, nullptr) : nullptr;
    Py_XDECREF(message_object);
    if (replacement) {
        // Setting a NULL cause would also hide the exception being handled.
        if (PyObject* cause = PyException_GetCause(value)) {
            PyException_SetCause(replacement, cause);  // steals the cause
        }
        PyErr_SetObject(PyExc_TypeError, replacement);
        Py_DECREF(replacement);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

}  // namespace termloom::py
