// The Python interface of a class, declared once as data.
//
// Each class lists its members in one table (see the api_*.hpp files). An
// entry names the member, its kind, its docstring, its parameters' names and
// defaults, and the core operation behind it; parameter types, annotations,
// result types, the exceptions it may raise and the conversions around the
// call are derived from the operation's C++ signature. The type object,
// argument binding, text signatures, the exported interface records, the
// type stub and the API reference are all produced from these tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "../core/error.hpp"
#include "../core/wait.hpp"
#include "class_registry.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "static_text.hpp"
#include "threads.hpp"

#include "interface_member.hpp"
#include "interface_types.hpp"

namespace termloom::py {

// ---------------------------------------------------------------------------
// Operations: the C++ signatures the declarations refer to.

template <class F>
struct OperationTraits;

// `mutates` tells an operation that may change its handle (T&) from one
// that only reads it (const T&).
template <class R, class T, class... A>
struct OperationTraits<R (*)(const T&, A...)> {
    using Self = T;
    using Return = R;
    using Args = std::tuple<A...>;
    static constexpr bool mutates = false;
};

template <class R, class T, class... A>
struct OperationTraits<R (*)(T&, A...)> {
    using Self = T;
    using Return = R;
    using Args = std::tuple<A...>;
    static constexpr bool mutates = true;
};

template <class T, class... A>
struct ConstructorTraits {
    using Self = T;
    using Args = std::tuple<A...>;
};

template <class F>
struct ConstructorOf;
template <class T, class... A>
struct ConstructorOf<T (*)(A...)> : ConstructorTraits<T, A...> {
    static constexpr bool refuses = false;
};
// A constructor that refuses some values (a server address of an unknown
// scheme) with a ValueError.
template <class T, class... A>
struct ConstructorOf<Result<T> (*)(A...)> : ConstructorTraits<T, A...> {
    static constexpr bool refuses = true;
};

template <class F>
struct FieldTraits;
template <class T, class F>
struct FieldTraits<F T::*> {
    using Self = T;
    using Type = F;
};

// A parameter as written in a declaration: its name and, when optional, the
// Python source of its default ("None", "False", "True" or, for seconds, a
// float literal such as "10.0").
struct ParamName {
    std::string_view name;
    std::string_view default_source = {};
    bool keyword_only = false;  // set by signature_of for those after `keyword_only`
};

constexpr ParamName arg(std::string_view name, std::string_view default_source = {}) {
    return {name, default_source};
}

// Python's "*" in a declaration: the parameters after it are bound by
// keyword only, so that adding one never shifts the positions of others.
struct KeywordOnlyMarker {};
inline constexpr KeywordOnlyMarker keyword_only{};

template <class... Names>
inline constexpr std::size_t kNamedCount = (std::size_t{std::is_same_v<Names, ParamName>} + ... + 0);

// "10.0", "0.5": digits, one point, digits; what the binder turns into a float.
constexpr bool is_seconds_literal(std::string_view source) {
    const std::size_t point = source.find('.');
    if (point == 0 || point == std::string_view::npos || point + 1 == source.size()) return false;
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (i != point && (source[i] < '0' || source[i] > '9')) return false;
    }
    return true;
}

// A parameter's C++ type as the operation takes it, by value or by const&.
template <std::size_t I, class Args>
using ParamType = std::remove_cvref_t<std::tuple_element_t<I, Args>>;

template <class Args, class... Names>
consteval Signature signature_of(Names... names) {
    constexpr std::size_t kCount = kNamedCount<Names...>;
    static_assert(kCount == std::tuple_size_v<Args>,
                  "declare one name for each parameter of the operation");
    static_assert(kCount <= kMaxParams);
    static_assert(sizeof...(Names) <= kCount + 1, "one keyword_only marker at most");
    Signature signature;
    std::array<ParamName, kCount> given{};
    std::size_t taken = 0;
    bool after_marker = false;
    bool seen_default = false;
    [[maybe_unused]] auto take = [&]<class N>(N name) {  // not called without parameters
        if constexpr (std::is_same_v<N, KeywordOnlyMarker>) {
            after_marker = true;
        } else {
            name.keyword_only = after_marker;
            given[taken++] = name;
        }
    };
    (take(names), ...);
    if (after_marker && (kCount == 0 || !given[kCount - 1].keyword_only)) {
        throw "keyword_only goes before at least one parameter";
    }
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((signature.params[I] = Param{given[I].name,
                                      TypeInfo<ParamType<I, Args>>::value_type,
                                      TypeInfo<ParamType<I, Args>>::precise,
                                      given[I].default_source, given[I].keyword_only}),
         ...);
    }(std::make_index_sequence<kCount>{});
    signature.count = kCount;
    for (const Param& p : signature.list()) {
        if (p.variadic()) {
            if (!p.default_source.empty() || &p != &signature.params[signature.count - 1]) {
                throw "*args comes last, without a default";
            }
            if (after_marker) throw "*args and keyword-only parameters do not go together";
        } else if (!p.required()) {
            bool optional = p.type == ValueType::OptionalText || p.type == ValueType::OptionalUnsigned ||
                            p.type == ValueType::OptionalMark ||
                            p.type == ValueType::OptionalEnvironment;
            bool seconds = p.type == ValueType::Seconds || p.type == ValueType::OptionalSeconds;
            bool fits = seconds && is_seconds_literal(p.default_source);
            fits |= (optional || p.type == ValueType::OptionalSeconds) && p.default_source == "None";
            fits |= p.type == ValueType::Flag &&
                    (p.default_source == "False" || p.default_source == "True");
            if (!fits) {
                throw "a default must be None for an optional, True or False for a flag and a "
                      "float literal for seconds";
            }
            if (!p.keyword_only) seen_default = true;
        } else if (seen_default && !p.keyword_only) {
            throw "a required parameter cannot follow one with a default";
        }
    }
    return signature;
}

// ---------------------------------------------------------------------------
// The glue generated for each operation.

template <class R>
PyObject* result_to_python(R&& result) {
    return to_python(std::forward<R>(result));
}

template <class R>
PyObject* result_to_python(Result<R>&& result) {
    if (!result) return raise(result.error());
    return to_python(std::move(*result));
}

// Converts the bound arguments in order (stopping at the first failure),
// then runs `invoke` with them.
template <class Args, class Invoke>
PyObject* with_converted_arguments(PyObject* const* bound, const Member& member, Invoke invoke) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
        // Destroyed after the call, with the interpreter lock held again:
        // a pattern's matcher holds a Python object.
        std::tuple<std::optional<ParamType<I, Args>>...> values;
        bool converted =
            ((std::get<I>(values) = from_python<ParamType<I, Args>>(
                  bound[I], member.signature.params[I].name)).has_value() && ...);
        if (!converted) return nullptr;
        return invoke(std::move(*std::get<I>(values))...);
    }(std::make_index_sequence<std::tuple_size_v<Args>>{});
}

// Operations run with the interpreter lock released: the arguments are
// converted before, the result after.
template <auto Op>
PyObject* call_operation(InstanceHeader* self, PyObject* const* bound, const Member& member) {
    using Traits = OperationTraits<decltype(Op)>;
    return with_converted_arguments<typename Traits::Args>(bound, member, [&](auto&&... args) {
        const auto& value = value_of<typename Traits::Self>(self);
        return result_to_python(without_interpreter_lock(
            [&] { return Op(value, std::forward<decltype(args)>(args)...); }));
    });
}

template <auto Op>
PyObject* construct_instance(PyTypeObject* type, PyObject* const* bound, const Member& member) {
    using Traits = ConstructorOf<decltype(Op)>;
    return with_converted_arguments<typename Traits::Args>(bound, member, [&](auto&&... args) {
        if constexpr (Traits::refuses) {
            auto made = Op(std::forward<decltype(args)>(args)...);
            if (!made) return raise(made.error());
            return new_instance(type, std::move(*made));
        } else {
            return new_instance(type, Op(std::forward<decltype(args)>(args)...));
        }
    });
}

template <auto Field>
PyObject* read_field(InstanceHeader* self) {
    using Traits = FieldTraits<decltype(Field)>;
    return to_python(value_of<typename Traits::Self>(self).*Field);
}

template <auto Op>
PyObject* read_computed(InstanceHeader* self) {
    using Traits = OperationTraits<decltype(Op)>;
    const auto& value = value_of<typename Traits::Self>(self);
    return result_to_python(without_interpreter_lock([&] { return Op(value); }));
}

template <auto Op>
Result<void> run_rename(InstanceHeader* self, std::string text) {
    using Traits = OperationTraits<decltype(Op)>;
    auto& value = value_of<typename Traits::Self>(self);
    return without_interpreter_lock([&] { return Op(value, std::move(text)); });
}

template <auto Op>
std::string run_repr(InstanceHeader* self) {
    using Traits = OperationTraits<decltype(Op)>;
    return Op(value_of<typename Traits::Self>(self));
}

// ---------------------------------------------------------------------------
// Declaration builders, one per kind of member.

// The result of a member whose operation returns R.
template <class R>
consteval void set_result(Member& m) {
    m.returns = TypeInfo<R>::annotation;
    m.result_type = TypeInfo<R>::precise;
    m.produces = TypeInfo<R>::produces;
    m.raises |= failure_errors<R>();
}

template <class T>
consteval void set_owner(Member& m) {
    m.owner = &python_type<T>;
    m.class_name = python_name<T>::value;
}

template <auto Op, class... Names>
consteval Member constructor(Names... names) {
    using Traits = ConstructorOf<decltype(Op)>;
    Member m;
    m.kind = MemberKind::Constructor;
    m.name = "__new__";
    m.returns = "None";
    m.result_type = python_name<typename Traits::Self>::value;
    m.signature = signature_of<typename Traits::Args>(names...);
    m.raises = argument_errors(m.signature);
    if (Traits::refuses) m.raises |= Exception::ValueError;
    set_owner<typename Traits::Self>(m);
    m.construct = &construct_instance<Op>;
    return m;
}

template <auto Field>
consteval Member field(std::string_view name) {
    using Traits = FieldTraits<decltype(Field)>;
    Member m;
    m.kind = MemberKind::Field;
    m.name = name;
    set_result<typename Traits::Type>(m);
    set_owner<typename Traits::Self>(m);
    m.read = &read_field<Field>;
    return m;
}

template <auto Field, auto Rename>
consteval Member settable(std::string_view name, ParamName setter_param,
                          std::string_view setter_doc = {}) {
    using Renamer = OperationTraits<decltype(Rename)>;
    static_assert(std::is_same_v<typename FieldTraits<decltype(Field)>::Self, typename Renamer::Self>,
                  "a settable's field and its rename must belong to the same class");
    static_assert(Renamer::mutates, "a rename takes the handle as T& to store the new text");
    Member m = field<Field>(name);
    m.kind = MemberKind::Settable;
    m.signature = signature_of<std::tuple<std::string>>(setter_param);
    m.setter_doc = setter_doc;
    m.setter_returns = TypeInfo<typename Renamer::Return>::annotation;
    m.setter_result_type = TypeInfo<typename Renamer::Return>::precise;
    m.setter_raises = argument_errors(m.signature);
    m.setter_raises |= failure_errors<typename Renamer::Return>();
    m.setter_raises |= Exception::AttributeError;  // deletion
    m.rename = &run_rename<Rename>;
    return m;
}

template <auto Op>
consteval Member computed(std::string_view name, std::string_view doc) {
    using Traits = OperationTraits<decltype(Op)>;
    static_assert(std::tuple_size_v<typename Traits::Args> == 0);
    static_assert(!Traits::mutates, "a computed property runs under shared access: take const T&");
    Member m;
    m.kind = MemberKind::Computed;
    m.name = name;
    m.doc = doc;
    set_result<typename Traits::Return>(m);
    set_owner<typename Traits::Self>(m);
    m.read = &read_computed<Op>;
    return m;
}

template <auto Op, class... Names>
consteval Member method(std::string_view name, std::string_view doc, Names... names) {
    using Traits = OperationTraits<decltype(Op)>;
    static_assert(!Traits::mutates, "a method runs under shared access: take const T&");
    Member m;
    m.kind = MemberKind::Method;
    m.name = name;
    m.doc = doc;
    m.signature = signature_of<typename Traits::Args>(names...);
    m.raises = argument_errors(m.signature);
    set_result<typename Traits::Return>(m);
    set_owner<typename Traits::Self>(m);
    m.call = &call_operation<Op>;
    return m;
}

// ---------------------------------------------------------------------------
// Context managers: `with handle:` gives the handle itself and runs an
// operation at the end of the block, whether it ends by an exception or not.

inline PyObject* return_self(InstanceHeader* self, PyObject* const*, const Member&) {
    PyObject* object = reinterpret_cast<PyObject*>(self);
    Py_INCREF(object);
    return object;
}

// The block's exception, if any, is left to propagate (None is false).
template <auto Op>
PyObject* run_at_exit(InstanceHeader* self, PyObject* const*, const Member&) {
    using Traits = OperationTraits<decltype(Op)>;
    const auto& value = value_of<typename Traits::Self>(self);
    Result<void> done = without_interpreter_lock([&] { return Op(value); });
    if (!done) return raise(done.error());
    Py_RETURN_NONE;
}

template <class T>
consteval Member entering(std::string_view doc) {
    Member m;
    m.kind = MemberKind::Method;
    m.name = "__enter__";
    m.doc = doc;
    m.returns = python_name<T>::value;
    m.result_type = python_name<T>::value;
    m.raises |= Exception::TypeError;
    set_owner<T>(m);
    m.call = &return_self;
    return m;
}

template <auto Op>
consteval Member leaving(std::string_view doc) {
    using Traits = OperationTraits<decltype(Op)>;
    static_assert(std::is_same_v<typename Traits::Return, Result<void>>);
    static_assert(!Traits::mutates, "a method runs under shared access: take const T&");
    Member m;
    m.kind = MemberKind::Method;
    m.name = "__exit__";
    m.doc = doc;
    m.signature.params[0] = {"exc_type", ValueType::Ignored, "type[BaseException] | None", {}};
    m.signature.params[1] = {"exc", ValueType::Ignored, "BaseException | None", {}};
    m.signature.params[2] = {"traceback", ValueType::Ignored, "types.TracebackType | None", {}};
    m.signature.count = 3;
    m.raises = argument_errors(m.signature);
    set_result<Result<void>>(m);
    set_owner<typename Traits::Self>(m);
    m.call = &run_at_exit<Op>;
    return m;
}

// The slots that a representation fills; one function serves both.
inline constexpr std::array<std::string_view, 2> kRepresentationSlots = {"__repr__", "__str__"};

template <auto Op>
consteval Member representation() {
    using Traits = OperationTraits<decltype(Op)>;
    static_assert(!Traits::mutates, "a representation only reads: take const T&");
    Member m;
    m.kind = MemberKind::Repr;
    m.name = kRepresentationSlots[0];
    set_result<typename Traits::Return>(m);
    set_owner<typename Traits::Self>(m);
    m.repr = &run_repr<Op>;
    return m;
}

// True when every member of `table` is one of T's own: an operation, field
// or constructor of another class would read the object as the wrong type.
template <class T, std::size_t N>
consteval bool members_belong_to(const std::array<Member, N>& table) {
    for (const Member& m : table) {
        if (m.owner != &python_type<T>) return false;
    }
    return true;
}

// "name($self, a, b=None, *, c=None)" for a method, "Class(a, b=None)" for
// a constructor.
std::string text_signature(const Member& member);

}  // namespace termloom::py
