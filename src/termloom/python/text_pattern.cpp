// The pattern of Pane.wait_for: a str matches a screen that contains it, a
// compiled re.Pattern[str] one where its search finds something. The wait
// runs without the interpreter lock; a search takes it back for the call.
#include <string>

#include "convert.hpp"
#include "errors.hpp"
#include "threads.hpp"

namespace termloom::py {
namespace {

constexpr std::string_view kPatternTypes = "str | re.Pattern[str]";

// A strong reference. Copied and dropped only with the interpreter lock
// held: the matcher is made and destroyed around the call, not inside it.
class Reference {
public:
    explicit Reference(PyObject* object) : object_(object) { Py_XINCREF(object_); }
    Reference(const Reference& other) : Reference(other.object_) {}
    Reference& operator=(const Reference&) = delete;
    ~Reference() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }

private:
    PyObject* object_;
};

// True when `value` is a compiled pattern whose pattern is a str.
std::optional<bool> is_text_pattern(PyObject* value) {
    PyObject* re = PyImport_ImportModule("re");
    if (!re) return std::nullopt;
    PyObject* pattern_type = PyObject_GetAttrString(re, "Pattern");
    Py_DECREF(re);
    if (!pattern_type) return std::nullopt;
    int is_pattern = PyObject_IsInstance(value, pattern_type);
    Py_DECREF(pattern_type);
    if (is_pattern < 0) return std::nullopt;
    if (is_pattern == 0) return false;
    PyObject* source = PyObject_GetAttrString(value, "pattern");
    if (!source) return std::nullopt;
    const bool text = PyUnicode_Check(source);
    Py_DECREF(source);
    return text;
}

std::optional<std::string> repr_text(PyObject* value) {
    PyObject* repr = PyObject_Repr(value);
    if (!repr) return std::nullopt;
    auto text = text_from(repr);
    Py_DECREF(repr);
    return text;
}

// The search, holding the interpreter lock; an exception it raises stays
// pending and ends the wait.
Result<bool> search(PyObject* pattern, std::string_view screen) {
    Result<bool> found = false;
    auto call = [&] {
        PyObject* text =
            PyUnicode_FromStringAndSize(screen.data(), static_cast<Py_ssize_t>(screen.size()));
        PyObject* match = text ? PyObject_CallMethod(pattern, "search", "O", text) : nullptr;
        Py_XDECREF(text);
        if (!match) {
            found = interrupted();
            return;
        }
        found = match != Py_None;
        Py_DECREF(match);
    };
    with_interpreter_lock(call);
    return found;
}

}  // namespace

std::optional<TextMatcher> matcher_from(PyObject* value) {
    if (PyUnicode_Check(value)) {
        auto needle = text_from(value);
        auto description = needle ? repr_text(value) : std::nullopt;
        if (!description) return std::nullopt;
        return TextMatcher{[needle = std::move(*needle)](std::string_view screen) -> Result<bool> {
                               return screen.find(needle) != std::string_view::npos;
                           },
                           std::move(*description)};
    }
    auto pattern = is_text_pattern(value);
    if (!pattern) return std::nullopt;
    if (!*pattern) {
        raise_cast_error(value, kPatternTypes);
        return std::nullopt;
    }
    auto description = repr_text(value);
    if (!description) return std::nullopt;
    return TextMatcher{[held = Reference(value)](std::string_view screen) {
                           return search(held.get(), screen);
                       },
                       std::move(*description)};
}

}  // namespace termloom::py
