// The parts of an interface declaration: members, their parameters and the
// exceptions they may raise (see interface.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "static_text.hpp"

namespace termloom::py {

inline constexpr std::size_t kMaxParams = 10;

enum class ValueType {
    Text, OptionalText, Unsigned, OptionalUnsigned, Flag,
    Seconds, OptionalSeconds,  // float or int, never negative
    Pattern,                   // str or compiled re.Pattern[str]
    Texts,                     // *args: every further positional argument, each a str
    OptionalMark,              // Screen, int or None: where a wait's new output starts
    OptionalEnvironment,       // a Mapping[str, str] of environment variables, or None
    Ignored,                   // any object, not looked at (__exit__'s exception)
};

struct Param {
    std::string_view name;
    ValueType type{};
    std::string_view annotation;      // its Python type, as written in annotations
    std::string_view default_source;  // Python source of the default; "" when required
    bool keyword_only = false;        // after the "*" of the signature

    constexpr bool variadic() const { return type == ValueType::Texts; }
    constexpr bool required() const { return default_source.empty() && !variadic(); }
};

struct Signature {
    std::array<Param, kMaxParams> params{};
    std::size_t count = 0;

    constexpr std::span<const Param> list() const { return {params.data(), count}; }
    // The parameters that a position can bind: those before the "*".
    constexpr std::size_t positional_count() const {
        std::size_t n = 0;
        while (n < count && !params[n].keyword_only) ++n;
        return n;
    }
};

enum class MemberKind {
    Constructor,  // __new__
    Field,        // read-only property returning a stored field
    Settable,     // field property whose assignment runs a rename
    Computed,     // read-only property running an operation on every read
    Method,
    Repr,         // __repr__ and __str__
};

// The exceptions a member may raise, beyond those of the interpreter itself.
enum class Exception : unsigned {
    RuntimeError = 1,        // its operation failed (or the access guard refused)
    ValueError = 2,          // declared where tmux's refusal is reported as one
    TypeError = 4,           // arguments that do not bind or convert
    OverflowError = 8,       // an unsigned argument out of range
    UnicodeEncodeError = 16, // a text argument that has no UTF-8 form
    AttributeError = 32,     // deleting a settable property
    TimeoutError = 64,       // declared on the waits: the time limit passed
};

inline constexpr std::array kAllExceptions = {
    Exception::RuntimeError, Exception::ValueError, Exception::TypeError,
    Exception::OverflowError, Exception::UnicodeEncodeError, Exception::AttributeError,
    Exception::TimeoutError,
};

constexpr std::string_view exception_name(Exception e) {
    switch (e) {
        case Exception::RuntimeError: return "RuntimeError";
        case Exception::ValueError: return "ValueError";
        case Exception::TypeError: return "TypeError";
        case Exception::OverflowError: return "OverflowError";
        case Exception::UnicodeEncodeError: return "UnicodeEncodeError";
        case Exception::AttributeError: return "AttributeError";
        case Exception::TimeoutError: return "TimeoutError";
    }
    return "";
}

struct Exceptions {
    unsigned bits = 0;

    constexpr Exceptions& operator|=(Exceptions other) {
        bits |= other.bits;
        return *this;
    }
    constexpr Exceptions& operator|=(Exception e) {
        bits |= static_cast<unsigned>(e);
        return *this;
    }
    constexpr bool has(Exception e) const { return (bits & static_cast<unsigned>(e)) != 0; }
    constexpr bool empty() const { return bits == 0; }
};

struct Member;
using ConstructFn = PyObject* (*)(PyTypeObject* type, PyObject* const* bound, const Member& member);
using CallFn = PyObject* (*)(InstanceHeader* self, PyObject* const* bound, const Member& member);
using ReadFn = PyObject* (*)(InstanceHeader* self);
using RenameFn = Result<void> (*)(InstanceHeader* self, std::string text);
using ReprFn = std::string (*)(InstanceHeader* self);
using OwnerFn = PyTypeObject* (*)();

struct Member {
    MemberKind kind{};
    std::string_view name;
    std::string_view doc;          // docstring without text signature; "" for none
    std::string_view notes;        // more for the reference, after the docstring (Markdown)
    std::string_view returns;      // annotation of the result in the interface records
    std::string_view result_type;  // the Python type of the result, precisely
    std::string_view produces;     // the class of the instances it returns; "" for none
    Exceptions raises;             // what a call or read may raise
    Signature signature;           // parameters; for Settable the setter's one parameter
    std::string_view setter_doc;
    std::string_view setter_returns;      // records' annotation of the setter's result
    std::string_view setter_result_type;  // its precise type
    Exceptions setter_raises;             // what an assignment or deletion may raise
    std::string_view class_name;
    OwnerFn owner = nullptr;
    ConstructFn construct = nullptr;
    CallFn call = nullptr;
    ReadFn read = nullptr;
    RenameFn rename = nullptr;
    ReprFn repr = nullptr;

    // Adds an exception that the member's C++ types do not tell (a refusal
    // reported as ValueError): to the assignment of a settable, otherwise
    // to the call.
    consteval Member raising(Exception e) const {
        Member m = *this;
        (m.kind == MemberKind::Settable ? m.setter_raises : m.raises) |= e;
        return m;
    }

    // Adds a paragraph to the member's section of the reference, where the
    // docstring (kept as it is) does not say everything.
    consteval Member noting(std::string_view text) const {
        Member m = *this;
        m.notes = text;
        return m;
    }
};

}  // namespace termloom::py
