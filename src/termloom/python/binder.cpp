#include "binder.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <utility>
#include <vector>

namespace termloom::py {
namespace {

// A borrowed reference to the default; nullptr with MemoryError set. The
// float defaults of seconds are made once and kept (the binder runs with
// the interpreter lock held).
PyObject* default_object(std::string_view source) {
    if (source == "None") return Py_None;
    if (source == "True") return Py_True;
    if (source == "False") return Py_False;
    static auto* floats = new std::vector<std::pair<std::string_view, PyObject*>>();
    for (const auto& [text, object] : *floats) {
        if (text == source) return object;
    }
    double value = 0;
    std::from_chars(source.data(), source.data() + source.size(), value);
    PyObject* object = PyFloat_FromDouble(value);
    if (object) floats->emplace_back(source, object);
    return object;
}

void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(std::span<const std::string_view> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

std::string_view keyword_text(PyObject* name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return {};
    }
    return {utf8, static_cast<std::size_t>(size)};
}

}  // namespace

bool bind_arguments(std::string_view callable, const Signature& signature,
                    std::span<PyObject* const> positional,
                    std::span<PyObject* const> keyword_names,
                    std::span<PyObject* const> keyword_values, PyObject** bound,
                    PackedArguments& packed) {
    auto params = signature.list();
    const bool variadic = !params.empty() && params.back().variadic();
    if (variadic) {
        // Bind the named parameters before it; *args takes what is left.
        params = params.first(params.size() - 1);
        const std::size_t rest = positional.size() > params.size() ? positional.size() - params.size() : 0;
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(rest));
        if (!tuple) return false;
        packed.hold(tuple);
        for (std::size_t i = 0; i < rest; ++i) {
            PyObject* item = positional[params.size() + i];
            Py_INCREF(item);
            PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), item);  // steals item
        }
        bound[params.size()] = tuple;
        positional = positional.first(positional.size() - rest);
    }
    // Keyword-only parameters follow the others and take no position.
    const std::size_t by_position = std::min(signature.positional_count(), params.size());
    std::size_t required = 0;
    for (const Param& p : params.first(by_position)) required += p.required() ? 1 : 0;

    if (positional.size() > by_position) {
        std::string message(callable);
        if (required == by_position) {
            message += " takes " + std::to_string(by_position);
        } else {
            message += " takes from " + std::to_string(required) + " to " +
                       std::to_string(by_position);
        }
        message += " positional arguments but " + std::to_string(positional.size()) +
                   (positional.size() == 1 ? " was given" : " were given");
        raise_type_error(message);
        return false;
    }

    for (std::size_t i = 0; i < params.size(); ++i) bound[i] = nullptr;
    for (std::size_t i = 0; i < positional.size(); ++i) bound[i] = positional[i];

    for (std::size_t k = 0; k < keyword_names.size(); ++k) {
        std::string_view keyword = keyword_text(keyword_names[k]);
        std::size_t index = 0;
        while (index < params.size() && params[index].name != keyword) ++index;
        if (index == params.size()) {
            raise_type_error(std::string(callable) + " got an unexpected keyword argument '" +
                             std::string(keyword) + "'");
            return false;
        }
        if (bound[index]) {
            raise_type_error(std::string(callable) + " got multiple values for argument '" +
                             std::string(keyword) + "'");
            return false;
        }
        bound[index] = keyword_values[k];
    }

    // As Python reports them: the positional ones first, then the keyword-only.
    for (const bool keyword_only : {false, true}) {
        std::string_view missing[kMaxParams];
        std::size_t missing_count = 0;
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (!bound[i] && params[i].required() && params[i].keyword_only == keyword_only) {
                missing[missing_count++] = params[i].name;
            }
        }
        if (missing_count == 0) continue;
        const std::string kind =
            keyword_only ? " required keyword-only argument" : " required positional argument";
        raise_type_error(std::string(callable) + " missing " + std::to_string(missing_count) + kind +
                         (missing_count == 1 ? ": " : "s: ") + name_list({missing, missing_count}));
        return false;
    }

    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!bound[i]) bound[i] = default_object(params[i].default_source);
        if (!bound[i]) return false;
    }
    return true;
}

}  // namespace termloom::py
