// Value conversions between Python objects and core values.
//
// Inbound conversions set a Python exception and return nothing on failure;
// a TypeError is reported as "argument '<name>': ..." so the caller knows
// which argument was wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/wait.hpp"
#include "class_registry.hpp"
#include "errors.hpp"
#include "python.hpp"

namespace termloom::py {

// Bare conversions without the argument prefix.
std::optional<std::string> text_from(PyObject* value);
std::optional<std::uint32_t> unsigned_from(PyObject* value);
std::optional<bool> flag_from(PyObject* value);
// An int or a float; negative (or NaN) is a ValueError.
std::optional<Seconds> seconds_from(PyObject* value);
// A str, or a compiled pattern of str (defined in text_pattern.cpp).
std::optional<TextMatcher> matcher_from(PyObject* value);
// A Screen (new output starts at its cursor) or an int (at that line).
std::optional<OutputMark> mark_from(PyObject* value);

template <class T>
struct Inbound;

template <>
struct Inbound<std::string> {
    static std::optional<std::string> convert(PyObject* v) { return text_from(v); }
};
template <>
struct Inbound<std::uint32_t> {
    static std::optional<std::uint32_t> convert(PyObject* v) { return unsigned_from(v); }
};
template <>
struct Inbound<bool> {
    static std::optional<bool> convert(PyObject* v) { return flag_from(v); }
};
template <>
struct Inbound<Seconds> {
    static std::optional<Seconds> convert(PyObject* v) { return seconds_from(v); }
};
template <>
struct Inbound<TextMatcher> {
    static std::optional<TextMatcher> convert(PyObject* v) { return matcher_from(v); }
};
template <>
struct Inbound<OutputMark> {
    static std::optional<OutputMark> convert(PyObject* v) { return mark_from(v); }
};
// *args: a tuple of str (the binder packs them).
template <>
struct Inbound<TextArgs> {
    static std::optional<TextArgs> convert(PyObject* v);
};
// A Mapping of str to str (a dict, or any collections.abc.Mapping): the
// variables in its order. A name that is empty or holds "=" or NUL, or a
// value holding NUL, is a ValueError naming it.
template <>
struct Inbound<Environment> {
    static std::optional<Environment> convert(PyObject* v);
};
template <class T>
struct Inbound<std::optional<T>> {
    static std::optional<std::optional<T>> convert(PyObject* v) {
        if (v == Py_None) return std::optional<std::optional<T>>(std::in_place);  // absent
        auto inner = Inbound<T>::convert(v);
        if (!inner) return std::nullopt;
        return std::optional<T>(std::move(*inner));
    }
};

template <class T>
std::optional<T> from_python(PyObject* value, std::string_view argument) {
    auto converted = Inbound<T>::convert(value);
    if (!converted) prefix_argument_error(argument);
    return converted;
}

// Outbound conversions: a new reference, or nullptr with a Python error set.
PyObject* to_python(bool flag);
PyObject* to_python(std::uint32_t number);
PyObject* to_python(std::uint64_t number);
PyObject* to_python(const std::string& text);
// A result's text: its buffer may be reused for the next output.
PyObject* to_python(std::string&& text);
// A pointer would otherwise convert to bool without a word.
PyObject* to_python(const void*) = delete;

template <HasPythonClass T>
PyObject* to_python(T value) {
    return make_instance(std::move(value));
}

template <class T>
PyObject* to_python(std::vector<T> items);  // below: an optional may hold a list

template <class T>
PyObject* to_python(std::optional<T> value) {
    if (!value) Py_RETURN_NONE;
    return to_python(std::move(*value));
}

template <class T>
PyObject* to_python(std::vector<T> items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = to_python(std::move(items[i]));
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

}  // namespace termloom::py
