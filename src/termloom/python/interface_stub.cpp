// The type stub of the module (termloom-stubs/__init__.pyi), written from
// the class tables during compilation into the section .termloom.stub of the
// library, where tools/gen_interface_files.py reads it. Nothing refers to it
// and nothing exports it.
#include "interface_catalog.hpp"
#include "interface_text.hpp"
#include "static_text.hpp"

namespace termloom::py {
namespace {

constexpr void put_member(TextOut& out, const Member& m) {
    constexpr std::string_view indent = "    ";
    if (m.kind == MemberKind::Repr) return;  // object's own __repr__ and __str__ say the same
    if (is_property(m)) out << indent << "@property\n";
    out << indent << "def ";
    put_definition(out, m);
    out << ": ...\n";
    if (m.kind == MemberKind::Settable) {
        out << indent << '@' << m.name << ".setter\n" << indent << "def ";
        put_setter_definition(out, m);
        out << ": ...\n";
    }
}

constexpr void put_class(TextOut& out, const ClassInterface& c) {
    // None of the classes can be subclassed.
    out << "\n\n@final\n";
    if (!c.published) out << "@type_check_only\n";
    out << "class " << c.name << ":\n";
    if (!c.constructible) {
        out << "    # Made only by the operations that return it: calling the class raises TypeError.\n";
    }
    for (const Member& m : c.members) put_member(out, m);
}

constexpr void put_stub(TextOut& out) {
    out << "# The types of the " << kModuleName << " module, for type checkers.\n"
        << "# Generated from the module's class tables by tools/gen_interface_files.py: do not edit.\n"
        << "#\n"
        << "# Only the classes in __all__ are in the module's namespace. The others are reached\n"
        << "# through the objects that those return, so they are type_check_only: they can be\n"
        << "# named in annotations (imported under typing.TYPE_CHECKING), not at run time.\n"
        << "import collections.abc\n"
        << "import re\n"
        << "import types\n"
        << "from typing import final, type_check_only\n\n"
        << "__all__ = [";
    bool first = true;
    for (const ClassInterface& c : kClasses) {
        if (!c.published) continue;
        if (!first) out << ", ";
        first = false;
        out << '"' << c.name << '"';
    }
    out << "]\n";
    for (const ClassInterface& c : kClasses) put_class(out, c);
}

[[gnu::used, gnu::section(".termloom.stub")]] constexpr auto kStub = kStaticText<&put_stub, true>;

}  // namespace
}  // namespace termloom::py
