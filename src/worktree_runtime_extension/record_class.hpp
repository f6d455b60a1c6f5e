#pragma once
// The shape every class of the module shares: a heap type named
// "worktree_runtime.api.<Name>", final, without instance dictionary or weak
// references, whose instances each own a private copy of one core record.
//
// A class is described by a traits struct:
//
//   struct GitWorktreeClass {
//     using Record = git::GitWorktree;
//     static constexpr const char* kName = "worktree_runtime.api.GitWorktree";
//     static inline PyGetSetDef getters[] = {field_getter<&GitWorktree::branch, AsText>("branch"), ..., {}};
//     static inline PyMethodDef methods[] = {..., {}};                // optional
//     using Constructor = ClassConstructor<kBuildSignature, &build>;  // optional
//     static std::string repr_text(PyObject* self);                  // optional
//   };
//
// `class_type<GitWorktreeClass>()` creates its type object once per process;
// `Instance<GitWorktreeClass>` takes an instance as an argument,
// `AsInstance<GitWorktreeClass>` makes a record one, and the area exports the
// class with `record_class<GitWorktreeClass>()` (module_exports.hpp).

#include <vector>

#include "entry_points.hpp"
#include "guarded.hpp"
#include "once_cell.hpp"
#include "record_object.hpp"
#include "result_kinds.hpp"

namespace worktree_runtime::python {

template <class>
struct MemberPointer;

template <class Class, class Field>
struct MemberPointer<Field Class::*> {
  using Record = Class;
};

// A read-only attribute: the record's field, converted anew on each read by
// `Result`.
template <auto Member, class Result>
PyObject* get_field(PyObject* self, void*) {
  using Record = typename MemberPointer<decltype(Member)>::Record;
  return guarded([self] { return Result::convert(record_of<Record>(self).*Member); });
}

template <auto Member, class Result>
constexpr PyGetSetDef field_getter(const char* name) {
  return {name, &get_field<Member, Result>, nullptr, nullptr, nullptr};
}

template <class Traits>
concept HasMethods = requires {
  Traits::methods;
};

template <class Traits>
concept HasConstructor = requires {
  typename Traits::Constructor;
};

template <class Traits>
concept HasRepr = requires(PyObject* self) {
  Traits::repr_text(self);
};

namespace detail {

template <class Record>
void dealloc_record_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  record_of<Record>(self).~Record();
  type->tp_free(self);
  Py_DECREF(type);
}

// A `__repr__` built from the record by `Text`.
template <auto Text>
PyObject* repr_of(PyObject* self) {
  return guarded([self] { return AsText::convert(Text(self)); });
}

template <class Traits>
PyObject* create_class() {
  using Record = typename Traits::Record;
  std::vector<PyType_Slot> slots = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_record_object<Record>)},
      {Py_tp_getset, Traits::getters},
  };
  if constexpr (HasMethods<Traits>) slots.push_back({Py_tp_methods, Traits::methods});
  if constexpr (HasRepr<Traits>) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&repr_of<&Traits::repr_text>)});
  if constexpr (HasConstructor<Traits>) {
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(Traits::Constructor::template tp_new<Traits>)});
    slots.push_back({Py_tp_doc, const_cast<char*>(Traits::Constructor::doc)});
  }
  slots.push_back({0, nullptr});
  // Final (no BASETYPE), immutable, without __dict__ or weak references; only
  // a class with a constructor can be called.
  constexpr unsigned int kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Spec definition = {
      .name = Traits::kName,
      .basicsize = static_cast<int>(sizeof(RecordObject<Record>)),
      .itemsize = 0,
      .flags = HasConstructor<Traits> ? kFlags : kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      .slots = slots.data(),
  };
  return PyType_FromSpec(&definition);
}

}  // namespace detail

// The class's type object, created on first use and shared by every module
// object of the process. Borrowed; null with a Python error set on failure.
template <class Traits>
PyObject* class_type() {
  static OnceCell cell;
  return cell.get(detail::create_class<Traits>);
}

}  // namespace worktree_runtime::python
