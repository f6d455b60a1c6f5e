#pragma once
// The object layout of every extension class: the header and a private copy
// of one core record. Argument and result kinds reach a class's instances
// through this layout; the class itself is described in record_class.hpp.

#include <new>
#include <type_traits>
#include <utility>

#include "py_ref.hpp"

namespace worktree_runtime::python {

template <class Record>
struct RecordObject {
  PyObject_HEAD Record record;
};

template <class Record>
Record& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

// A new instance of `type`, holding `record`; null with a Python error set.
template <class Record>
PyObject* new_record_object(PyTypeObject* type, Record record) {
  // Once the object exists, nothing may throw before the record is in it.
  static_assert(std::is_nothrow_move_constructible_v<Record>);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&record_of<Record>(self)) Record(std::move(record));
  return self;
}

// The type object of the class that the traits struct `Class` describes.
// Defined in record_class.hpp, whose class plumbing needs the argument and
// result kinds that in turn need the type.
template <class Class>
PyObject* class_type();

}  // namespace worktree_runtime::python
