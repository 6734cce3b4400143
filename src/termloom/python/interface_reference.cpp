// The API reference (docs/api.md), written from the class tables during
// compilation into the section .termloom.reference of the library, where
// tools/gen_interface_files.py reads it. Nothing refers to it and nothing
// exports it.
#include "interface_catalog.hpp"
#include "interface_text.hpp"
#include "static_text.hpp"

namespace termloom::py {
namespace {

constexpr std::string_view exception_meaning(Exception e) {
    switch (e) {
        case Exception::RuntimeError:
            return "a tmux (or `ps`) run could not start, failed, or printed something unusable. "
                   "Members whose text says that they report a failure as `False`, `None` or an "
                   "empty list raise it only when the exit status of tmux cannot be read. A "
                   "call from another thread while an object is renamed (or a rename while it "
                   "is in use) waits for the first to finish; only a signal handler that uses "
                   "an object while a call on the same thread holds it gets \"Already mutably "
                   "borrowed\" (or \"Already borrowed\" for a rename).";
        case Exception::ValueError:
            return "a value that cannot be used: tmux refused it (the new name of a window), the "
                   "member's text says why (a directory that does not exist), a number of seconds "
                   "is negative, or an environment variable's name is empty or holds `=` or NUL "
                   "(or its value holds NUL).";
        case Exception::TypeError:
            return "an argument of the wrong type, or arguments that do not fit the parameters.";
        case Exception::OverflowError:
            return "an `int` argument below 0 or above 4294967295, or seconds too large for a "
                   "`float`.";
        case Exception::UnicodeEncodeError:
            return "a `str` argument that has no UTF-8 form (a lone surrogate).";
        case Exception::AttributeError: return "deleting the property.";
        case Exception::TimeoutError:
            return "the wait reached its `timeout` first; the message names what it waited for "
                   "and ends with the last screen's non-blank lines (at most 20).";
    }
    return "";
}

constexpr void put_raises(TextOut& out, std::string_view label, Exceptions raises) {
    if (raises.empty()) return;
    out << label;
    bool first = true;
    for (Exception e : kAllExceptions) {
        if (!raises.has(e)) continue;
        out << (first ? " " : ", ") << '`' << exception_name(e) << '`';
        first = false;
    }
    out << ".\n\n";
}

constexpr void put_docstring(TextOut& out, std::string_view doc) {
    if (doc.empty()) return;
    out << "```text\n" << doc;
    if (doc.back() != '\n') out << '\n';
    out << "```\n\n";
}

constexpr std::string_view kind_text(MemberKind kind) {
    switch (kind) {
        case MemberKind::Field: return "Read-only property: a stored field; reading runs nothing.";
        case MemberKind::Settable: return "Property: reading returns a stored field; assigning renames.";
        case MemberKind::Computed: return "Read-only property, computed anew on every read.";
        case MemberKind::Method: return "Method.";
        case MemberKind::Constructor:
        case MemberKind::Repr: break;
    }
    return "";
}

// How a member is used: "capture(trim: bool = False, ...) -> str | None",
// "sessions -> list[Session]" for a property.
constexpr void put_usage(TextOut& out, const Member& m) {
    out << '`' << m.name;
    if (takes_arguments(m)) put_parameters(out, "", m.signature);
    out << " -> " << m.result_type << '`';
}

constexpr void put_member(TextOut& out, const ClassInterface& c, const Member& m) {
    out << "### `" << c.name << '.' << m.name << "`\n\n" << kind_text(m.kind) << ' ';
    put_usage(out, m);
    out << "\n\n";
    put_docstring(out, m.doc);
    if (!m.notes.empty()) out << m.notes << "\n\n";
    put_raises(out, "Raises:", m.raises);
    if (m.kind == MemberKind::Settable) {
        const Param& value = m.signature.params[0];
        out << "Assigning: a `" << value.annotation << "`, named `" << value.name
            << "` in error messages.";
        if (!m.setter_doc.empty()) out << ' ' << m.setter_doc;
        out << "\n\n";
        put_raises(out, "Assigning or deleting raises:", m.setter_raises);
    }
}

// "`Server.sessions`, `Server.new_session`": the members that return
// instances of `name`.
constexpr void put_sources(TextOut& out, std::string_view name) {
    bool first = true;
    for (const ClassInterface& c : kClasses) {
        for (const Member& m : c.members) {
            if (m.produces != name) continue;
            out << (first ? "" : ", ") << '`' << c.name << '.' << m.name << '`';
            first = false;
        }
    }
}

constexpr void put_class(TextOut& out, const ClassInterface& c) {
    out << "## " << c.name << "\n\n";
    bool represented = false;
    for (const Member& m : c.members) {
        if (m.kind == MemberKind::Constructor) {
            out << "Constructor: `" << c.name;
            put_parameters(out, "", m.signature);
            out << "`, which runs nothing.\n\n";
            put_raises(out, "Raises:", m.raises);
        }
        represented |= m.kind == MemberKind::Repr;
    }
    if (!c.constructible) out << "No constructor: calling the class raises `TypeError`.\n\n";
    if (!c.published) {
        out << "Not in the module's namespace; returned by ";
        put_sources(out, c.name);
        out << ".\n\n";
    }
    if (represented) out << "`repr()` and `str()` give the same text.\n\n";
    for (const Member& m : c.members) {
        if (m.kind != MemberKind::Constructor && m.kind != MemberKind::Repr) put_member(out, c, m);
    }
}

constexpr void put_reference(TextOut& out) {
    out << "# " << kModuleName << " API reference\n\n"
        << "<!-- Generated from the module's class tables by tools/gen_interface_files.py: "
           "do not edit. -->\n\n"
        << "Every parameter may be given by position or by keyword, except those after a `*`, "
           "which are given by keyword only. Types are written as in the type stub "
           "(`termloom-stubs`), which comes with the module.\n\n"
        << "The exceptions listed under each member mean:\n\n";
    for (Exception e : kAllExceptions) {
        out << "- `" << exception_name(e) << "`: " << exception_meaning(e) << '\n';
    }
    out << "\nAn exception raised by a Python signal handler while tmux runs "
           "(`KeyboardInterrupt`, typically) ends the call that runs it.\n\n";
    for (const ClassInterface& c : kClasses) put_class(out, c);
}

[[gnu::used, gnu::section(".termloom.reference")]] constexpr auto kReference =
    kStaticText<&put_reference, true>;

}  // namespace
}  // namespace termloom::py
