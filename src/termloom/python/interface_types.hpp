// What a C++ type looks like from Python, for the interface declarations
// (see interface.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/error.hpp"
#include "../core/wait.hpp"
#include "class_registry.hpp"
#include "interface_member.hpp"

namespace termloom::py {

// ---------------------------------------------------------------------------
// Types: what a C++ type looks like from Python.
//
// `annotation` is what the interface records carry: optionals, lists and
// nothing are typing.Any there. `precise` is the type itself, for stubs and
// the reference; `produces` names the class whose instances it holds.

template <class T>
struct TypeInfo;

inline constexpr std::string_view kOrNone = " | None";
inline constexpr std::string_view kListOpen = "list[";
inline constexpr std::string_view kListClose = "]";

template <>
struct TypeInfo<bool> {
    static constexpr std::string_view annotation = "bool";
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = {};
    static constexpr ValueType value_type = ValueType::Flag;
};
template <>
struct TypeInfo<std::string> {
    static constexpr std::string_view annotation = "str";
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = {};
    static constexpr ValueType value_type = ValueType::Text;
};
template <>
struct TypeInfo<std::uint32_t> {
    static constexpr std::string_view annotation = "int";
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = {};
    static constexpr ValueType value_type = ValueType::Unsigned;
};
template <>
struct TypeInfo<std::uint64_t> {
    static constexpr std::string_view annotation = "int";
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = {};
};
template <>
struct TypeInfo<Seconds> {
    static constexpr std::string_view annotation = "float";
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = {};
    static constexpr ValueType value_type = ValueType::Seconds;
};
template <>
struct TypeInfo<TextMatcher> {
    static constexpr std::string_view annotation = "str | re.Pattern[str]";
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = {};
    static constexpr ValueType value_type = ValueType::Pattern;
};
template <>
struct TypeInfo<std::optional<OutputMark>> {
    static constexpr std::string_view annotation = "typing.Any";
    static constexpr std::string_view precise = "Screen | int | None";
    static constexpr std::string_view produces = {};
    static constexpr ValueType value_type = ValueType::OptionalMark;
};
template <>
struct TypeInfo<Environment> {
    static constexpr std::string_view annotation = "collections.abc.Mapping[str, str]";
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = {};
};
// *args: str, as an operation takes it.
template <>
struct TypeInfo<TextArgs> {
    static constexpr std::string_view annotation = "str";
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = {};
    static constexpr ValueType value_type = ValueType::Texts;
};
template <class T>
struct OptionalInfo {
    static constexpr std::string_view annotation = "typing.Any";
    static constexpr std::string_view precise = Joined<TypeInfo<T>::precise, kOrNone>::value;
    static constexpr std::string_view produces = TypeInfo<T>::produces;
};
template <class T>
struct TypeInfo<std::optional<T>> : OptionalInfo<T> {};
// The two optionals that are also parameters.
template <>
struct TypeInfo<std::optional<std::string>> : OptionalInfo<std::string> {
    static constexpr ValueType value_type = ValueType::OptionalText;
};
template <>
struct TypeInfo<std::optional<std::uint32_t>> : OptionalInfo<std::uint32_t> {
    static constexpr ValueType value_type = ValueType::OptionalUnsigned;
};
template <>
struct TypeInfo<std::optional<Seconds>> : OptionalInfo<Seconds> {
    static constexpr ValueType value_type = ValueType::OptionalSeconds;
};
template <>
struct TypeInfo<std::optional<Environment>> : OptionalInfo<Environment> {
    static constexpr ValueType value_type = ValueType::OptionalEnvironment;
};
template <class T>
struct TypeInfo<std::vector<T>> {
    static constexpr std::string_view annotation = "typing.Any";
    static constexpr std::string_view precise =
        Joined<kListOpen, TypeInfo<T>::precise, kListClose>::value;
    static constexpr std::string_view produces = TypeInfo<T>::produces;
};
template <class T>
struct TypeInfo<Result<T>> : TypeInfo<T> {};
template <>
struct TypeInfo<void> {
    static constexpr std::string_view annotation = "typing.Any";
    static constexpr std::string_view precise = "None";
    static constexpr std::string_view produces = {};
};
template <HasPythonClass T>
struct TypeInfo<T> {
    static constexpr std::string_view annotation = python_name<T>::value;
    static constexpr std::string_view precise = annotation;
    static constexpr std::string_view produces = annotation;
};

// An operation that returns a Result reports its failures as exceptions.
template <class R>
inline constexpr bool kReportsFailure = false;
template <class T>
inline constexpr bool kReportsFailure<Result<T>> = true;

template <class R>
constexpr Exceptions failure_errors() {
    Exceptions e;
    if (kReportsFailure<R>) e |= Exception::RuntimeError;
    return e;
}

// What binding and converting arguments for `signature` may raise; a call
// with arguments that do not bind raises TypeError even without parameters.
constexpr Exceptions argument_errors(const Signature& signature) {
    Exceptions e;
    e |= Exception::TypeError;
    for (const Param& p : signature.list()) {
        switch (p.type) {
            case ValueType::Text:
            case ValueType::OptionalText: e |= Exception::UnicodeEncodeError; break;
            case ValueType::Unsigned:
            case ValueType::OptionalUnsigned:
            case ValueType::OptionalMark: e |= Exception::OverflowError; break;
            case ValueType::Flag:
            case ValueType::Ignored: break;
            case ValueType::Seconds:
            case ValueType::OptionalSeconds:
                e |= Exception::ValueError;
                e |= Exception::OverflowError;
                break;
            case ValueType::Pattern:
            case ValueType::Texts: e |= Exception::UnicodeEncodeError; break;
            case ValueType::OptionalEnvironment:  // a name with "=", NUL in a name or value
                e |= Exception::ValueError;
                e |= Exception::UnicodeEncodeError;
                break;
        }
    }
    return e;
}

}  // namespace termloom::py
