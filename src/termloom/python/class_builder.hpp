// Building a Python class from its interface table.
//
// The slots and method entries must be distinct C functions; each is a
// template instance bound to one table entry, and all of them forward to the
// generic code in class_builder.cpp.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "interface.hpp"

namespace termloom::py {

struct ClassHooks {
    std::string_view name;
    std::size_t basic_size = 0;
    destructor dealloc = nullptr;
    newfunc new_slot = nullptr;    // nullptr: Python code cannot instantiate
    reprfunc repr_slot = nullptr;  // nullptr: the interpreter's default
    std::span<const PyCFunction> method_entries;  // one per member, nullptr if not a method
};

PyTypeObject* create_class(std::span<const Member> members, const ClassHooks& hooks);

PyObject* call_method(const Member& member, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames);
PyObject* call_method_without_arguments(const Member& member, PyObject* self);
PyObject* construct(const Member& member, PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* represent(const Member& member, PyObject* self);

template <const auto& Table, std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method(Table[I], self, args, nargs, kwnames);
}

template <const auto& Table, std::size_t I>
PyObject* method_entry_without_arguments(PyObject* self, PyObject*) {
    return call_method_without_arguments(Table[I], self);
}

template <const auto& Table, std::size_t I>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct(Table[I], type, args, kwargs);
}

template <const auto& Table, std::size_t I>
PyObject* repr_entry(PyObject* self) {
    return represent(Table[I], self);
}

template <class T>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // An object a replaced __new__ made holds no value to destroy.
    if (header_of(self)->built) static_cast<Instance<T>*>(header_of(self))->~Instance<T>();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <const auto& Table>
consteval std::size_t index_of(MemberKind kind) {
    for (std::size_t i = 0; i < Table.size(); ++i) {
        if (Table[i].kind == kind) return i;
    }
    return Table.size();
}

template <const auto& Table, std::size_t I>
PyCFunction method_pointer() {
    if constexpr (Table[I].kind != MemberKind::Method) {
        return nullptr;
    } else if constexpr (Table[I].signature.count == 0) {
        return &method_entry_without_arguments<Table, I>;
    } else {
        // METH_FASTCALL | METH_KEYWORDS entries are stored as PyCFunction.
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_entry<Table, I>));
    }
}

template <class T, const auto& Table>
PyTypeObject* build_class() {
    static_assert(members_belong_to<T>(Table), "every member of a class's table must be its own");
    constexpr std::size_t kCount = Table.size();
    static const auto entries = []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<PyCFunction, kCount>{method_pointer<Table, I>()...};
    }(std::make_index_sequence<kCount>{});

    ClassHooks hooks;
    hooks.name = python_name<T>::value;
    hooks.basic_size = sizeof(Instance<T>);
    hooks.dealloc = &dealloc_instance<T>;
    hooks.method_entries = entries;
    constexpr std::size_t ctor = index_of<Table>(MemberKind::Constructor);
    if constexpr (ctor < kCount) hooks.new_slot = &new_entry<Table, ctor>;
    constexpr std::size_t repr = index_of<Table>(MemberKind::Repr);
    if constexpr (repr < kCount) hooks.repr_slot = &repr_entry<Table, repr>;
    return create_class(Table, hooks);
}

// The class object for T, built from Table on first use and kept for good.
template <class T, const auto& Table>
PyTypeObject* class_object() {
    static PyTypeObject* type = nullptr;  // set once, under the interpreter lock
    if (!type) type = build_class<T, Table>();
    return type;
}

}  // namespace termloom::py
