#include "class_builder.hpp"

#include <deque>
#include <string>
#include <vector>

#include "binder.hpp"
#include "errors.hpp"

namespace termloom::py {
namespace {

// Type objects keep pointers into their names, docstrings and method and
// property tables for as long as they live, which is the whole process. The
// stores are reachable from a static, so no leak checker counts them lost.
template <class T>
T& keep_for_good(T value) {
    static auto* store = new std::deque<T>();
    return store->emplace_back(std::move(value));
}

const char* keep(std::string text) { return keep_for_good(std::move(text)).c_str(); }

const char* doc_or_null(std::string_view doc) { return doc.empty() ? nullptr : keep(std::string(doc)); }

std::string callable_name(const Member& member) {
    return std::string(member.class_name) + "." + std::string(member.name) + "()";
}

// The interpreter checks receivers for ordinary calls; this covers the rest.
bool check_receiver(const Member& member, PyObject* self) {
    PyTypeObject* type = member.owner();
    if (!type) return false;
    if (!PyObject_TypeCheck(self, type)) {
        raise_cast_error(self, member.class_name);
        return false;
    }
    return true;
}

// Runs `body` on the receiver's value under shared access, once the receiver
// has passed the class check.
template <class Body>
PyObject* with_shared_access(const Member& member, PyObject* self, Body body) {
    if (!check_receiver(member, self)) return nullptr;
    ScopedAccess access(header_of(self), ScopedAccess::Mode::Shared);
    if (!access.held()) return nullptr;
    return body(header_of(self));
}

PyObject* get_property(PyObject* self, void* closure) {
    const auto& member = *static_cast<const Member*>(closure);
    return guarded<PyObject*>(nullptr, [&] {
        return with_shared_access(member, self, member.read);
    });
}

int set_property(PyObject* self, PyObject* value, void* closure) {
    const auto& member = *static_cast<const Member*>(closure);
    return guarded(-1, [&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        auto text = from_python<std::string>(value, member.signature.params[0].name);
        if (!text) return -1;
        if (!check_receiver(member, self)) return -1;
        ScopedAccess access(header_of(self), ScopedAccess::Mode::Exclusive);
        if (!access.held()) return -1;
        auto renamed = member.rename(header_of(self), std::move(*text));
        if (!renamed) {
            raise(renamed.error());
            return -1;
        }
        return 0;
    });
}

}  // namespace

std::string text_signature(const Member& member) {
    std::string out(member.kind == MemberKind::Constructor ? member.class_name : member.name);
    out += '(';
    bool first = true;
    if (member.kind != MemberKind::Constructor) {
        out += "$self";
        first = false;
    }
    const std::size_t by_position = member.signature.positional_count();
    for (std::size_t i = 0; i < member.signature.count; ++i) {
        const Param& p = member.signature.params[i];
        if (!first) out += ", ";
        first = false;
        if (i == by_position) out += "*, ";
        if (p.variadic()) out += '*';
        out += p.name;
        if (!p.required() && !p.variadic()) {
            out += '=';
            out += p.default_source;
        }
    }
    out += ')';
    return out;
}

PyObject* call_method(const Member& member, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // Keyword values follow the positional ones; their names are in kwnames.
        const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_Size(kwnames)) : 0;
        std::vector<PyObject*> keyword_names(nkw);
        for (std::size_t i = 0; i < nkw; ++i) {
            keyword_names[i] = PyTuple_GetItem(kwnames, static_cast<Py_ssize_t>(i));
        }
        PyObject* bound[kMaxParams];
        PackedArguments packed;
        if (!bind_arguments(callable_name(member), member.signature,
                            {args, static_cast<std::size_t>(nargs)}, keyword_names,
                            {args + nargs, nkw}, bound, packed)) {
            return nullptr;
        }
        return with_shared_access(member, self, [&](InstanceHeader* receiver) {
            return member.call(receiver, bound, member);
        });
    });
}

PyObject* call_method_without_arguments(const Member& member, PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        return with_shared_access(member, self, [&](InstanceHeader* receiver) {
            return member.call(receiver, nullptr, member);
        });
    });
}

PyObject* construct(const Member& member, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<PyObject*> positional(static_cast<std::size_t>(PyTuple_Size(args)));
        for (std::size_t i = 0; i < positional.size(); ++i) {
            positional[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
        }
        std::vector<PyObject*> names, values;
        if (kwargs) {
            Py_ssize_t position = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &position, &key, &value)) {
                names.push_back(key);
                values.push_back(value);
            }
        }
        PyObject* bound[kMaxParams];
        PackedArguments packed;
        if (!bind_arguments(callable_name(member), member.signature, positional, names, values,
                            bound, packed)) {
            return nullptr;
        }
        return member.construct(type, bound, member);
    });
}

PyObject* represent(const Member& member, PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ScopedAccess access(header_of(self), ScopedAccess::Mode::Shared);
        if (!access.held()) return nullptr;
        std::string text = member.repr(header_of(self));
        return to_python(text);
    });
}

PyTypeObject* create_class(std::span<const Member> members, const ClassHooks& hooks) {
    return guarded<PyTypeObject*>(nullptr, [&]() -> PyTypeObject* {
        auto* methods = &keep_for_good(std::vector<PyMethodDef>());
        auto* properties = &keep_for_good(std::vector<PyGetSetDef>());
        const char* class_doc = nullptr;

        for (std::size_t i = 0; i < members.size(); ++i) {
            const Member& m = members[i];
            const char* name = keep(std::string(m.name));
            void* closure = const_cast<Member*>(&m);
            switch (m.kind) {
                case MemberKind::Constructor:
                    class_doc = keep(text_signature(m) + "\n--\n\n");
                    break;
                case MemberKind::Field:
                case MemberKind::Settable:
                    // A field's own (empty) text is the property's docstring.
                    properties->push_back({name, &get_property,
                                           m.kind == MemberKind::Settable ? &set_property : nullptr,
                                           keep(""), closure});
                    break;
                case MemberKind::Computed:
                    properties->push_back({name, &get_property, nullptr, doc_or_null(m.doc), closure});
                    break;
                case MemberKind::Method: {
                    int flags = m.signature.count == 0 ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS;
                    std::string doc = text_signature(m) + "\n--\n\n" + std::string(m.doc);
                    methods->push_back({name, hooks.method_entries[i], flags, keep(std::move(doc))});
                    break;
                }
                case MemberKind::Repr:
                    break;
            }
        }
        methods->push_back({nullptr, nullptr, 0, nullptr});
        properties->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

        std::vector<PyType_Slot> slots;
        slots.push_back({Py_tp_base, &PyBaseObject_Type});
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(hooks.dealloc)});
        if (hooks.new_slot) slots.push_back({Py_tp_new, reinterpret_cast<void*>(hooks.new_slot)});
        if (class_doc) slots.push_back({Py_tp_doc, const_cast<char*>(class_doc)});
        if (hooks.repr_slot) {
            slots.push_back({Py_tp_repr, reinterpret_cast<void*>(hooks.repr_slot)});
            slots.push_back({Py_tp_str, reinterpret_cast<void*>(hooks.repr_slot)});
        }
        slots.push_back({Py_tp_getset, properties->data()});
        slots.push_back({Py_tp_methods, methods->data()});
        slots.push_back({0, nullptr});  // sentinel

        unsigned int flags = Py_TPFLAGS_DEFAULT;
        if (!hooks.new_slot) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
        PyType_Spec type_spec = {
            .name = keep("builtins." + std::string(hooks.name)),
            .basicsize = static_cast<int>(hooks.basic_size),
            .itemsize = 0,
            .flags = flags,
            .slots = slots.data(),
        };
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    });
}

}  // namespace termloom::py
