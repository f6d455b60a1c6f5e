#pragma once
// The names an area of the module adds to the module, each with how its value
// is built. An area lists all its names in one table, and module.cpp looks up
// each name of its own list there; that list is the order of `__all__`:
//
//   constexpr FixedString kNormalizePathSignature = "normalize_path(raw_path)";
//   std::string normalize_path(OptionalText raw_path) { ... }
//   ...
//   constexpr Export kEntries[] = {
//       function<kNormalizePathSignature, &normalize_path, AsText>(),
//       ...
//   };
//   constinit const ExportTable paths_exports::entries = kEntries;
//
// A table is constinit: the compiler builds it, and a value that would need
// code to run at load time does not compile.

#include <span>

#include "entry_points.hpp"
#include "py_ref.hpp"
#include "record_class.hpp"
#include "signature.hpp"

namespace worktree_runtime::python {

struct Export {
  const char* name;
  PyRef (*build)(PyObject* module);  // null with a Python error set on failure
};

using ExportTable = std::span<const Export>;

namespace detail {

template <const auto& Value, class Result>
PyRef build_constant(PyObject*) {
  return PyRef::steal(Result::convert(Value));
}

template <FixedString Text, auto Function, class Result>
PyRef build_function(PyObject* module) {
  static PyMethodDef definition = module_function<Text, Function, Result>();
  const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return {};
  return PyRef::steal(PyCFunction_NewEx(&definition, module, module_name.get()));
}

// A class or exception type, shared by every module object of the process.
template <PyObject* (*TypeObject)()>
PyRef build_type(PyObject*) {
  return PyRef::borrow(TypeObject());
}

// The last dotted part of a qualified name.
consteval const char* unqualified(const char* name) {
  const char* last = name;
  for (const char* cursor = name; *cursor != '\0'; ++cursor) {
    if (*cursor == '.') last = cursor + 1;
  }
  return last;
}

}  // namespace detail

// A constant: `Value` converted by `Result`.
template <FixedString Name, const auto& Value, class Result>
consteval Export constant() {
  return {Name.chars, &detail::build_constant<Value, Result>};
}

// A module function, named by its text signature (see entry_points.hpp).
template <FixedString Text, auto Function, class Result>
consteval Export function() {
  return {Signature<Text>::name_c_string.data(), &detail::build_function<Text, Function, Result>};
}

// An extension class (see record_class.hpp), under the last part of its name.
template <class Class>
consteval Export record_class() {
  return {detail::unqualified(Class::kName), &detail::build_type<&class_type<Class>>};
}

// An exception type.
template <FixedString Name, PyObject* (*TypeObject)()>
consteval Export exception_type() {
  return {Name.chars, &detail::build_type<TypeObject>};
}

}  // namespace worktree_runtime::python
