#pragma once
// Result kinds: how a core value becomes a Python value. Every entry point,
// attribute and constant names the kind of its result; compound kinds name
// the kind of their parts (`ListOf<AsInstance<GitWorktreeClass>>`). Each
// `convert` returns a new reference, or null with a Python error set.

#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "py_ref.hpp"
#include "record_object.hpp"
#include "support/core_error.hpp"

namespace worktree_runtime::python {

struct AsText {
  static PyObject* convert(std::string_view text);
};

struct AsFlag {
  static PyObject* convert(bool flag);
};

struct AsInteger {
  static PyObject* convert(std::int64_t number);
};

// A new dict of the texts.
struct AsTextDict {
  static PyObject* convert(const std::map<std::string, std::string>& texts);
};

// A JSON value kept as its text: what the standard `json.loads` makes of it.
struct AsJson {
  static PyObject* convert(std::string_view json_text);
};

// A new `pathlib.Path` built from the text.
struct AsPath {
  static PyObject* convert(std::string_view text);
};

// No result: the body of an operation that only acts returns nothing.
struct AsNone {
  static PyObject* convert() { Py_RETURN_NONE; }
};

// Texts in order as a new tuple.
struct AsTextTuple {
  template <class Texts>
  static PyObject* convert(const Texts& texts) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(texts))));
    if (!tuple) return nullptr;
    Py_ssize_t index = 0;
    for (const auto& text : texts) {
      PyObject* item = AsText::convert(text);
      if (item == nullptr) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), index++, item);
    }
    return tuple.release();
  }
};

// Texts as a new frozenset.
struct AsTextSet {
  template <class Texts>
  static PyObject* convert(const Texts& texts) {
    PyRef set = PyRef::steal(PyFrozenSet_New(nullptr));
    if (!set) return nullptr;
    for (const auto& member : texts) {
      PyRef text = PyRef::steal(AsText::convert(member));
      if (!text || PySet_Add(set.get(), text.get()) < 0) return nullptr;
    }
    return set.release();
  }
};

// A record as a new instance of the extension class that the traits struct
// `Class` describes.
template <class Class>
struct AsInstance {
  static PyObject* convert(typename Class::Record record) {
    auto* type = reinterpret_cast<PyTypeObject*>(class_type<Class>());
    if (type == nullptr) return nullptr;
    return new_record_object(type, std::move(record));
  }
};

// Items in order as a new list, each by `Kind`.
template <class Kind>
struct ListOf {
  template <class Items>
  static PyObject* convert(Items items) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    for (auto& item : items) {
      PyObject* converted = Kind::convert(std::move(item));
      if (converted == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), index++, converted);
    }
    return list.release();
  }
};

// None for an empty optional, else its value by `Kind`.
template <class Kind>
struct NoneOr {
  template <class T>
  static PyObject* convert(std::optional<T> value) {
    if (!value) Py_RETURN_NONE;
    return Kind::convert(*std::move(value));
  }
};

// Raises the exception that the error's kind maps to: ValueError,
// WorktreeListError, or ProjectIdInvalidError with its `reason_code`.
PyObject* raise_core_error(const support::CoreError& error);

// A core result: its error raised, else its value by `Kind`.
template <class Kind>
struct CoreErrorOr {
  template <class T>
  static PyObject* convert(support::Result<T> result) {
    if (!result.ok()) return raise_core_error(result.error());
    return Kind::convert(std::move(result.value()));
  }
};

// A value, or nothing because a Python error is already set (an exception
// raised by Python code that the body called).
template <class T>
struct PythonErrorOr {
  std::optional<T> value;
};

// That error kept, else the value by `Kind`.
template <class Kind>
struct UnlessPythonError {
  template <class T>
  static PyObject* convert(PythonErrorOr<T> result) {
    if (!result.value) return nullptr;
    return Kind::convert(*std::move(result.value));
  }
};

}  // namespace worktree_runtime::python
