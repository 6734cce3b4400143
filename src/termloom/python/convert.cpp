#include "convert.hpp"

#include <string>

#include "../core/process.hpp"
#include "../core/text.hpp"
#include "errors.hpp"

namespace termloom::py {
namespace {

// The text of a type attribute such as __name__, or "" when unreadable.
std::string type_attribute(PyObject* type, const char* attribute) {
    PyObject* value = PyObject_GetAttrString(type, attribute);
    std::string result;
    if (value && PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size)) {
            result.assign(utf8, static_cast<std::size_t>(size));
        }
    }
    Py_XDECREF(value);
    PyErr_Clear();
    return result;
}

// numpy's boolean scalar is accepted where a flag is expected.
bool is_numpy_bool(PyObject* value) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    std::string name = type_attribute(type, "__name__");
    return (name == "bool_" || name == "bool") && type_attribute(type, "__module__") == "numpy";
}

}  // namespace

std::optional<std::string> text_from(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        raise_cast_error(value, "str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) return std::nullopt;  // lone surrogates: the interpreter's UnicodeEncodeError
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<OutputMark> mark_from(PyObject* value) {
    PyTypeObject* screen_type = python_type<Screen>();
    if (!screen_type) return std::nullopt;
    if (PyObject_TypeCheck(value, screen_type)) {
        ScopedAccess access(header_of(value), ScopedAccess::Mode::Shared);
        if (!access.held()) return std::nullopt;
        const Screen& screen = value_of<Screen>(header_of(value));
        return OutputMark{screen.history_size + screen.cursor_y, screen};
    }
    if (!PyLong_Check(value)) {
        raise_cast_error(value, "Screen | int");
        return std::nullopt;
    }
    unsigned long long line = PyLong_AsUnsignedLongLong(value);
    if (line == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return OutputMark{line, std::nullopt};
}

std::optional<TextArgs> Inbound<TextArgs>::convert(PyObject* v) {
    TextArgs args;
    const Py_ssize_t count = PyTuple_Size(v);
    for (Py_ssize_t i = 0; i < count; ++i) {
        auto text = text_from(PyTuple_GetItem(v, i));
        if (!text) return std::nullopt;
        args.items.push_back(std::move(*text));
    }
    return args;
}

namespace {

// collections.abc.Mapping, imported once and kept; nullptr with the import's
// error set.
PyObject* mapping_class() {
    static PyObject* mapping = [] {
        PyObject* abc = PyImport_ImportModule("collections.abc");
        if (!abc) return static_cast<PyObject*>(nullptr);
        PyObject* found = PyObject_GetAttrString(abc, "Mapping");
        Py_DECREF(abc);
        return found;
    }();
    if (!mapping && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, "collections.abc.Mapping could not be imported");
    }
    return mapping;
}

// One variable, checked; false with the error set.
bool add_variable(Environment& environment, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
        std::string message = "a variable name must be str, not '" + type_name_of(key) + "'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
    }
    auto name = text_from(key);
    if (!name) return false;
    if (name->empty() || name->find_first_of(std::string_view("=\0", 2)) != std::string::npos) {
        std::string message = "invalid environment variable name: " + quote_text(*name) +
                              " (a name is not empty and holds neither \"=\" nor NUL)";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return false;
    }
    if (!PyUnicode_Check(value)) {
        std::string message = "the value of " + quote_text(*name) + " must be str, not '" +
                              type_name_of(value) + "'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
    }
    auto text = text_from(value);
    if (!text) return false;
    if (text->find('\0') != std::string::npos) {
        std::string message = "the value of environment variable " + quote_text(*name) +
                              " holds NUL, which no environment can carry";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return false;
    }
    environment.variables.emplace_back(std::move(*name), std::move(*text));
    return true;
}

}  // namespace

std::optional<Environment> Inbound<Environment>::convert(PyObject* v) {
    Environment environment;
    if (PyDict_Check(v) && PyDict_CheckExact(v)) {
        // Converting a str runs no Python code, so the dict cannot change meanwhile.
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(v, &position, &key, &value)) {
            if (!add_variable(environment, key, value)) return std::nullopt;
        }
        return environment;
    }
    PyObject* mapping = mapping_class();
    if (!mapping) return std::nullopt;
    const int is_mapping = PyObject_IsInstance(v, mapping);
    if (is_mapping < 0) return std::nullopt;
    if (!is_mapping) {
        raise_cast_error(v, "collections.abc.Mapping[str, str]");
        return std::nullopt;
    }
    PyObject* items = PyMapping_Items(v);  // a new list of (key, value) tuples
    if (!items) return std::nullopt;
    const Py_ssize_t count = PyList_Size(items);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GetItem(items, i);
        if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "the mapping's items() gave something else than pairs");
            Py_DECREF(items);
            return std::nullopt;
        }
        if (!add_variable(environment, PyTuple_GetItem(item, 0), PyTuple_GetItem(item, 1))) {
            Py_DECREF(items);
            return std::nullopt;
        }
    }
    Py_DECREF(items);
    return environment;
}

std::optional<std::uint32_t> unsigned_from(PyObject* value) {
    PyObject* number = nullptr;
    if (PyLong_Check(value)) {
        Py_INCREF(value);
        number = value;
    } else {
        number = PyNumber_Index(value);
        if (!number) return std::nullopt;
    }
    unsigned long long wide = PyLong_AsUnsignedLongLong(number);
    Py_DECREF(number);
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    if (wide > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(wide);
}

std::optional<bool> flag_from(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    if (!is_numpy_bool(value)) {
        raise_cast_error(value, "bool");
        return std::nullopt;
    }
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    PyObject* method = PyObject_GetAttrString(type, "__bool__");
    if (!method) {
        PyErr_Clear();
        std::string message = "object of type '" + type_attribute(type, "__qualname__") +
                              "' does not define a '__bool__' conversion";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return std::nullopt;
    }
    PyObject* result = PyObject_CallFunctionObjArgs(method, value, nullptr);
    Py_DECREF(method);
    if (!result) return std::nullopt;
    std::optional<bool> flag;
    if (result == Py_True || result == Py_False) {
        flag = result == Py_True;
    } else {
        raise_cast_error(result, "bool");
    }
    Py_DECREF(result);
    return flag;
}

std::optional<Seconds> seconds_from(PyObject* value) {
    if (!PyLong_Check(value) && !PyFloat_Check(value)) {
        raise_cast_error(value, "float");
        return std::nullopt;
    }
    const double seconds = PyFloat_AsDouble(value);  // an int too large: OverflowError
    if (seconds == -1.0 && PyErr_Occurred()) return std::nullopt;
    if (!(seconds >= 0)) {
        std::string message = "seconds must be zero or more, not " + seconds_text(Seconds{seconds});
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return std::nullopt;
    }
    return Seconds{seconds};
}

PyObject* to_python(bool flag) { return PyBool_FromLong(flag); }

PyObject* to_python(std::uint32_t number) { return PyLong_FromUnsignedLong(number); }

PyObject* to_python(std::uint64_t number) { return PyLong_FromUnsignedLongLong(number); }

PyObject* to_python(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_python(std::string&& text) {
    PyObject* object = to_python(static_cast<const std::string&>(text));
    give_back_output_buffer(std::move(text));
    return object;
}

}  // namespace termloom::py
