#pragma once
// Argument kinds: one per kind of parameter, named by the parameter types of
// an entry point's body. Each `convert` converts a borrowed object, or returns
// nothing with a Python error set. `kNotesParameter` says whether a failure
// gets a note that names the parameter. Texts view the UTF-8 buffer of the
// argument object, which outlives the call.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.hpp"
#include "record_object.hpp"
#include "support/env_snapshot.hpp"
#include "support/time.hpp"

namespace worktree_runtime::python {

struct Text {
  static constexpr bool kNotesParameter = true;
  static std::optional<Text> convert(PyObject* object);
  std::string_view value;
};

// The UTF-8 text of a str with each lone surrogate written as U+FFFD, as
// undecodable bytes of another program's output may arrive. Nothing, with
// TypeError set, for anything but a str.
std::optional<std::string> text_replacing_surrogates(PyObject* object);

struct OptionalText {
  static constexpr bool kNotesParameter = true;
  static std::optional<OptionalText> convert(PyObject* object);
  std::optional<std::string_view> value;
};

// A sequence other than str, iterated once, every item a str. The texts are
// copied: the items may be created by the iteration and gone after it.
struct TextList {
  static constexpr bool kNotesParameter = true;
  static std::optional<TextList> convert(PyObject* object);
  std::vector<std::string> value;
};

struct OptionalTextList {
  static constexpr bool kNotesParameter = true;
  static std::optional<OptionalTextList> convert(PyObject* object);
  std::optional<std::vector<std::string>> value;
};

// `str`, or the `str` that the object's `__fspath__` returns. Its failures
// propagate without a note.
struct PathLikeText {
  static constexpr bool kNotesParameter = false;
  static std::optional<PathLikeText> convert(PyObject* object);
  std::string value;
};

// None, or a path-like text as above.
struct OptionalPathLikeText {
  static constexpr bool kNotesParameter = false;
  static std::optional<OptionalPathLikeText> convert(PyObject* object);
  std::optional<std::string> value;
};

// What `os.fspath` makes of the object, which must be a `str`: its text (for
// messages) and its native form (lone surrogates carried as the bytes they
// stand for).
struct FileSystemPath {
  static constexpr bool kNotesParameter = true;
  static std::optional<FileSystemPath> convert(PyObject* object);
  PyRef text;
  std::string native;
};

// None, or any object at all (borrowed: the argument outlives the call).
struct OptionalObject {
  static constexpr bool kNotesParameter = true;
  static std::optional<OptionalObject> convert(PyObject* object) {
    return OptionalObject{object == Py_None ? nullptr : object};
  }
  PyObject* object;
};

// `bool` (or a NumPy boolean); integers are refused.
struct Flag {
  static constexpr bool kNotesParameter = true;
  static std::optional<Flag> convert(PyObject* object);
  bool value;
};

// None, or anything the interpreter's integer conversion takes, in 64 bits.
struct OptionalInteger {
  static constexpr bool kNotesParameter = true;
  static std::optional<OptionalInteger> convert(PyObject* object);
  std::optional<std::int64_t> value;
};

// A `dict` of `str` to `str` becomes a snapshot; anything else, silently, no
// snapshot at all.
struct EnvMapping {
  static constexpr bool kNotesParameter = true;
  static std::optional<EnvMapping> convert(PyObject* object);
  std::optional<support::EnvSnapshot> value;
};

// Any object the standard `json.dumps` serialises, as that JSON text.
struct JsonPayload {
  static constexpr bool kNotesParameter = true;
  static std::optional<JsonPayload> convert(PyObject* object);
  std::string text;
};

// Like JsonPayload, but every failure (the import, `json.dumps`, a non-str
// result) silently means no payload; None is no payload too.
struct LenientJsonPayload {
  static constexpr bool kNotesParameter = true;
  static std::optional<LenientJsonPayload> convert(PyObject* object);
  std::optional<std::string> text;
};

// Any object: the UTC instant its `isoformat()` text names, or, silently, no
// bound at all.
struct InstantBound {
  static constexpr bool kNotesParameter = true;
  static std::optional<InstantBound> convert(PyObject* object);
  std::optional<support::Instant> value;
};

// An instance of the extension class that the traits struct `Class`
// describes; the record it holds.
template <class Class>
struct Instance {
  using Record = typename Class::Record;
  static constexpr bool kNotesParameter = true;
  static std::optional<Instance> convert(PyObject* object) {
    auto* type = reinterpret_cast<PyTypeObject*>(class_type<Class>());
    if (type == nullptr) return std::nullopt;
    if (!Py_IS_TYPE(object, type)) {
      PyErr_Format(PyExc_TypeError, "expected %s, got %T", type->tp_name, object);
      return std::nullopt;
    }
    return Instance{&record_of<Record>(object)};
  }
  const Record* record;  // owned by the argument object, which outlives the call
};

// None, or an instance as above (`record` null for None).
template <class Class>
struct OptionalInstance {
  static constexpr bool kNotesParameter = true;
  static std::optional<OptionalInstance> convert(PyObject* object) {
    if (object == Py_None) return OptionalInstance{nullptr};
    std::optional<Instance<Class>> instance = Instance<Class>::convert(object);
    if (!instance) return std::nullopt;
    return OptionalInstance{instance->record};
  }
  const typename Class::Record* record;
};

}  // namespace worktree_runtime::python
