// Python signatures written from the interface tables, for the generated
// stub and reference.
#pragma once

#include <string_view>

#include "interface.hpp"
#include "static_text.hpp"

namespace termloom::py {

// "(self, keys: str, enter: bool = False)", "(self, name: str, *, width:
// int | None = None)"; `first` is "self", "cls" or nothing.
constexpr void put_parameters(TextOut& out, std::string_view first, const Signature& signature) {
    out << '(' << first;
    bool separate = !first.empty();
    const std::size_t by_position = signature.positional_count();
    for (std::size_t i = 0; i < signature.count; ++i) {
        const Param& p = signature.params[i];
        if (separate) out << ", ";
        separate = true;
        if (i == by_position) out << "*, ";
        if (p.variadic()) out << '*';
        out << p.name << ": " << p.annotation;
        if (!p.required() && !p.variadic()) out << " = " << p.default_source;
    }
    out << ')';
}

constexpr bool takes_arguments(const Member& m) {
    return m.kind == MemberKind::Constructor || m.kind == MemberKind::Method;
}

// A member as a def statement writes it, with precise types:
// "capture(self, trim: bool = False, ...) -> str | None", "__new__(cls, ...)
// -> Session", "name(self) -> str" for a property's getter.
constexpr void put_definition(TextOut& out, const Member& m) {
    out << m.name;
    put_parameters(out, m.kind == MemberKind::Constructor ? "cls" : "self",
                   takes_arguments(m) ? m.signature : Signature{});
    out << " -> " << m.result_type;
}

// "name(self, new_name: str) -> None": the setter of a settable property.
constexpr void put_setter_definition(TextOut& out, const Member& m) {
    out << m.name;
    put_parameters(out, "self", m.signature);
    out << " -> " << m.setter_result_type;
}

constexpr bool is_property(const Member& m) {
    return m.kind == MemberKind::Field || m.kind == MemberKind::Settable ||
           m.kind == MemberKind::Computed;
}

}  // namespace termloom::py
