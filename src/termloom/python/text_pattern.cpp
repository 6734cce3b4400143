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

// The byte offset in UTF-8 `text` of code point `index`.
std::size_t byte_offset(std::string_view text, Py_ssize_t index) {
    std::size_t at = 0;
    for (Py_ssize_t seen = 0; at < text.size() && seen < index; ++seen) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    }
    return at;
}

// The int a method of `match` returns for `group`.
std::optional<Py_ssize_t> match_position(PyObject* match, const char* method) {
    PyObject* position = PyObject_CallMethod(match, method, nullptr);
    if (!position) return std::nullopt;
    const Py_ssize_t value = PyLong_AsSsize_t(position);
    Py_DECREF(position);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    return value;
}

// match.groups() as texts, None kept as none.
std::optional<std::vector<std::optional<std::string>>> match_groups(PyObject* match) {
    PyObject* groups = PyObject_CallMethod(match, "groups", nullptr);
    if (!groups) return std::nullopt;
    std::vector<std::optional<std::string>> out;
    const Py_ssize_t count = PyTuple_Check(groups) ? PyTuple_Size(groups) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* group = PyTuple_GetItem(groups, i);
        if (group == Py_None) {
            out.emplace_back();
            continue;
        }
        auto text = text_from(group);
        if (!text) {
            Py_DECREF(groups);
            return std::nullopt;
        }
        out.emplace_back(std::move(*text));
    }
    Py_DECREF(groups);
    return out;
}

// The search, holding the interpreter lock; an exception it raises stays
// pending and ends the wait.
Result<std::optional<TextMatch>> search(PyObject* pattern, std::string_view screen) {
    Result<std::optional<TextMatch>> found = std::nullopt;
    auto call = [&] {
        PyObject* text =
            PyUnicode_FromStringAndSize(screen.data(), static_cast<Py_ssize_t>(screen.size()));
        PyObject* match = text ? PyObject_CallMethod(pattern, "search", "O", text) : nullptr;
        Py_XDECREF(text);
        if (!match) {
            found = interrupted();
            return;
        }
        if (match != Py_None) {
            auto start = match_position(match, "start");
            auto end = start ? match_position(match, "end") : std::nullopt;
            auto groups = end ? match_groups(match) : std::nullopt;
            if (!groups) {
                found = interrupted();
            } else {
                const std::size_t first = byte_offset(screen, *start);
                const std::size_t last = first + byte_offset(screen.substr(first), *end - *start);
                found = TextMatch{first, last, std::move(*groups)};
            }
        }
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
        return TextMatcher{[needle = std::move(*needle)](
                               std::string_view screen) -> Result<std::optional<TextMatch>> {
                               const std::size_t at = screen.find(needle);
                               if (at == std::string_view::npos) return std::nullopt;
                               return TextMatch{at, at + needle.size(), {}};
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
