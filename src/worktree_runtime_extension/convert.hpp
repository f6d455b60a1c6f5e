#pragma once
// How Python arguments become core values and core results become Python
// values, for every entry point of the module.
//
// An entry point is declared by its text signature and a body whose parameter
// types are argument kinds:
//
//   std::string normalize_path(OptionalText raw_path);
//   PyMethodDef def = module_function<"normalize_path(raw_path)", &normalize_path>();
//
// The signature text is the single source of the parameter names, their
// order, the keyword-only marker and the defaults; the binder follows Python's
// rules for it, each argument is converted by its kind in signature order,
// and the body's core result is converted by `to_python`.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "support/env_snapshot.hpp"
#include "py_ref.hpp"
#include "support/core_error.hpp"
#include "support/time.hpp"

namespace worktree_runtime::python {

// ---------------------------------------------------------------------------
// Text signatures, parsed at compile time.

template <std::size_t N>
struct FixedString {
  char chars[N]{};
  consteval FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
  constexpr std::string_view view() const { return {chars, N - 1}; }
};

// What an omitted argument stands for; `required` parameters have no default.
enum class Default { required, none, empty_text, false_flag, true_flag };

struct Parameter {
  std::string_view name;
  bool keyword_only = false;
  Default default_value = Default::required;
};

namespace signature_text {

// Index of the first `wanted` in `text`, or its size. A plain loop: the
// library's find is not a constant expression under -fsanitize=undefined.
constexpr std::size_t index_of(std::string_view text, char wanted) {
  std::size_t index = 0;
  while (index < text.size() && text[index] != wanted) ++index;
  return index;
}

constexpr std::string_view function_name(std::string_view signature) {
  return signature.substr(0, index_of(signature, '('));
}

constexpr std::string_view parameter_list(std::string_view signature) {
  const std::size_t open = index_of(signature, '(');
  if (open == signature.size() || signature.back() != ')') throw "malformed text signature";
  return signature.substr(open + 1, signature.size() - open - 2);
}

// Calls `visit(item)` for each item of the parameter list, which ", " separates.
// A method's leading "$self" or "$type" names its receiver, not a parameter.
template <class Visit>
consteval void for_each_item(std::string_view signature, Visit visit) {
  std::string_view rest = parameter_list(signature);
  if (rest.starts_with('$')) {
    const std::size_t comma = index_of(rest, ',');
    rest = comma == rest.size() ? std::string_view{} : rest.substr(comma + 2);
  }
  while (!rest.empty()) {
    const std::size_t comma = index_of(rest, ',');
    visit(rest.substr(0, comma));
    rest = comma == rest.size() ? std::string_view{} : rest.substr(comma + 2);
  }
}

consteval std::size_t count_parameters(std::string_view signature) {
  std::size_t count = 0;
  for_each_item(signature, [&](std::string_view item) { count += item != "*"; });
  return count;
}

constexpr Default parse_default(std::string_view text) {
  if (text == "None") return Default::none;
  if (text == "\"\"") return Default::empty_text;
  if (text == "False") return Default::false_flag;
  if (text == "True") return Default::true_flag;
  throw "unsupported default in text signature";
}

template <std::size_t Arity>
consteval std::array<Parameter, Arity> parse_parameters(std::string_view signature) {
  std::array<Parameter, Arity> parameters{};
  std::size_t index = 0;
  bool keyword_only = false;
  for_each_item(signature, [&](std::string_view item) {
    if (item == "*") {
      keyword_only = true;
      return;
    }
    const std::size_t equals = index_of(item, '=');
    parameters[index++] = Parameter{item.substr(0, equals), keyword_only,
                                    equals == item.size() ? Default::required : parse_default(item.substr(equals + 1))};
  });
  return parameters;
}

// `text` followed by `suffix` and a NUL, as a static character array.
template <std::size_t Length>
consteval std::array<char, Length + 1> c_string(std::string_view text, std::string_view suffix = {}) {
  std::array<char, Length + 1> chars{};
  std::copy(text.begin(), text.end(), chars.begin());
  std::copy(suffix.begin(), suffix.end(), chars.begin() + static_cast<std::ptrdiff_t>(text.size()));
  return chars;
}

inline constexpr std::string_view kDocSuffix = "\n--\n\n";

}  // namespace signature_text

template <FixedString Text>
struct Signature {
  static constexpr std::string_view text = Text.view();
  static constexpr std::string_view function_name = signature_text::function_name(text);
  static constexpr std::size_t arity = signature_text::count_parameters(text);
  static constexpr std::array<Parameter, arity> parameters = signature_text::parse_parameters<arity>(text);
  // NUL-terminated texts for PyMethodDef: the name, and the docstring that
  // carries only the text signature (so `__doc__` is None).
  static constexpr auto name_c_string = signature_text::c_string<function_name.size()>(function_name);
  static constexpr auto doc_c_string =
      signature_text::c_string<text.size() + signature_text::kDocSuffix.size()>(text, signature_text::kDocSuffix);
};

// ---------------------------------------------------------------------------
// Binding: Python's rules for a text signature. Fills `bound` with one
// borrowed object per parameter, an omitted one by its default. On failure
// raises TypeError and returns false.
bool bind_arguments(std::string_view function_name, std::span<const Parameter> parameters, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound);

// Attaches a note naming the parameter to the exception being raised.
void add_parameter_note(std::string_view function_name, std::string_view parameter_name);

// ---------------------------------------------------------------------------
// Argument kinds. Each converts a borrowed object, or returns nothing with a
// Python error set. `kNotesParameter` says whether a failure gets a note that
// names the parameter. Texts view the UTF-8 buffer of the argument object,
// which outlives the call.

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

// The object layout of every extension class: the header and a private copy
// of one core record.
template <class Record>
struct RecordObject {
  PyObject_HEAD Record record;
};

template <class Record>
Record& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

// The extension class that wraps a core record; specialised beside the class.
template <class Record>
struct ClassOf;

template <class Record>
concept WrappedRecord = requires {
  typename ClassOf<Record>::type;
};

template <class Traits>
PyObject* class_type();

// An instance of the extension class that wraps `Record`; the record it holds.
template <WrappedRecord Record>
struct Instance {
  static constexpr bool kNotesParameter = true;
  static std::optional<Instance> convert(PyObject* object);
  const Record* record;  // owned by the argument object, which outlives the call
};

// None, or an instance as above (`record` null for None).
template <WrappedRecord Record>
struct OptionalInstance {
  static constexpr bool kNotesParameter = true;
  static std::optional<OptionalInstance> convert(PyObject* object) {
    if (object == Py_None) return OptionalInstance{nullptr};
    std::optional<Instance<Record>> instance = Instance<Record>::convert(object);
    if (!instance) return std::nullopt;
    return OptionalInstance{instance->record};
  }
  const Record* record;
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

// ---------------------------------------------------------------------------
// Result kinds: each returns a new reference, or null with a Python error set.

PyObject* to_python(std::string_view text);
PyObject* to_python(bool flag);
PyObject* to_python(std::int64_t number);
PyObject* to_python(const std::map<std::string, std::string>& texts);  // a dict

// A JSON value kept as its text: what the standard `json.loads` makes of it.
struct JsonText {
  std::string_view text;
};
PyObject* to_python(JsonText json);

// The pathlib.Path class, looked up once per process (borrowed).
PyObject* path_class();

// A path: a new `pathlib.Path` built from the text.
struct PathResult {
  std::string_view text;
};
PyObject* to_python(PathResult path);

// Texts in order as a new tuple, or as a new frozenset.
struct TextTuple {
  const std::vector<std::string>& texts;
};
PyObject* to_python(TextTuple tuple);
struct TextSet {
  const std::vector<std::string>& texts;
};
PyObject* to_python(TextSet set);

// A value, or nothing because a Python error is already set (an exception
// raised by Python code that the entry point called).
template <class T>
struct PythonErrorOr {
  std::optional<T> value;
};

// A fixed group of variable names: a new tuple.
struct NameGroup {
  std::span<const std::string_view> names;
};
PyObject* to_python(NameGroup group);

template <class Traits>
PyObject* wrap_record(typename Traits::Record record);

template <WrappedRecord Record>
PyObject* to_python(Record record) {
  return wrap_record<typename ClassOf<Record>::type>(std::move(record));
}

template <class T>
PyObject* to_python(std::optional<T> value) {
  if (!value) Py_RETURN_NONE;
  return to_python(*std::move(value));
}

// No result: an operation that only acts.
inline PyObject* to_python(std::monostate) { Py_RETURN_NONE; }

// A list of records or texts: a new list in core order.
template <class T>
PyObject* to_python(std::vector<T> items) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t index = 0; index < items.size(); ++index) {
    PyObject* item = to_python(std::move(items[index]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), item);
  }
  return list.release();
}

// Every entry of `os.environ` whose key and value are texts; empty when
// `os.environ` cannot be read as such a mapping. Never raises.
support::EnvSnapshot snapshot_os_environ();

// Raises the exception that the error's kind maps to: ValueError,
// WorktreeListError, or ProjectIdInvalidError with its `reason_code`.
PyObject* raise_core_error(const support::CoreError& error);

template <class T>
PyObject* to_python(support::Result<T> result) {
  if (!result.ok()) return raise_core_error(result.error());
  return to_python(std::move(result.value()));
}

template <class T>
PyObject* to_python(PythonErrorOr<T> result) {
  if (!result.value) return nullptr;
  return to_python(*std::move(result.value));
}

template <WrappedRecord Record>
std::optional<Instance<Record>> Instance<Record>::convert(PyObject* object) {
  PyObject* type = class_type<typename ClassOf<Record>::type>();
  if (type == nullptr) return std::nullopt;
  if (!Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_Format(PyExc_TypeError, "expected %s, got %T", reinterpret_cast<PyTypeObject*>(type)->tp_name, object);
    return std::nullopt;
  }
  return Instance{&record_of<Record>(object)};
}

// ---------------------------------------------------------------------------
// Entry points.

// Runs `call` so that no C++ exception reaches the interpreter: running out of
// memory raises MemoryError, anything else SystemError. Returns what `call`
// returns, or the failure value of its type (null, or -1).
template <class Call>
auto guarded(Call call) noexcept -> decltype(call()) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  if constexpr (std::is_pointer_v<decltype(call())>) {
    return nullptr;
  } else {
    return -1;
  }
}

namespace detail {

template <class Kind>
std::optional<Kind> convert_argument(PyObject* object, std::string_view function_name,
                                     std::string_view parameter_name) {
  std::optional<Kind> converted = Kind::convert(object);
  if constexpr (Kind::kNotesParameter) {
    if (!converted) add_parameter_note(function_name, parameter_name);
  }
  return converted;
}

// Binds the arguments to the signature, converts each by its kind in order and
// hands the converted values to `invoke`, whose core result becomes the
// Python result.
template <class Sig, class... Kinds, class Invoke, std::size_t... Index>
PyObject* bind_convert_invoke(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Invoke invoke,
                              std::index_sequence<Index...>) {
  static_assert(sizeof...(Kinds) == Sig::arity, "the body takes one argument kind per parameter of its signature");
  std::array<PyObject*, sizeof...(Kinds)> bound{};
  if (!bind_arguments(Sig::function_name, Sig::parameters, args, nargs, kwnames, bound)) return nullptr;
  std::tuple<std::optional<Kinds>...> converted;
  // The first parameter that fails to convert is the one reported.
  const bool all_converted = (... && (std::get<Index>(converted) = convert_argument<Kinds>(
                                          bound[Index], Sig::function_name, Sig::parameters[Index].name))
                                         .has_value());
  if (!all_converted) return nullptr;
  return to_python(invoke(std::move(*std::get<Index>(converted))...));
}

// What a body takes: argument kinds only (functions), or the record of the
// instance first (methods).
template <class>
struct Body;

template <class Result, class... Kinds>
struct Body<Result (*)(Kinds...)> {
  template <class Sig, class Invoke>
  static PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Invoke invoke) {
    return bind_convert_invoke<Sig, Kinds...>(args, nargs, kwnames, invoke, std::index_sequence_for<Kinds...>{});
  }
};

template <class Result, class Record, class... Kinds>
struct Body<Result (*)(const Record&, Kinds...)> : Body<Result (*)(Kinds...)> {
  using Receiver = Record;
};

template <FixedString Text, auto Function>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    return Body<decltype(Function)>::template call<Signature<Text>>(
        args, nargs, kwnames, [](auto&&... kinds) { return Function(std::move(kinds)...); });
  });
}

template <FixedString Text, auto Method>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Record = typename Body<decltype(Method)>::Receiver;
  return guarded([&] {
    return Body<decltype(Method)>::template call<Signature<Text>>(
        args, nargs, kwnames, [self](auto&&... kinds) { return Method(record_of<Record>(self), std::move(kinds)...); });
  });
}

template <auto Function>
PyObject* noargs_function_entry(PyObject*, PyObject*) {
  return guarded([] { return to_python(Function()); });
}

template <auto Method>
PyObject* noargs_method_entry(PyObject* self, PyObject*) {
  return guarded([self] { return to_python(Method(record_of<typename Body<decltype(Method)>::Receiver>(self))); });
}

// A constructor is called with a tuple and a dict; the binder wants the
// vectorcall form, a flat array of values and a tuple of keyword names.
class VectorcallArguments {
 public:
  VectorcallArguments(PyObject* args, PyObject* kwargs);
  bool ok() const { return ok_; }
  PyObject* const* values() const { return values_.data(); }
  Py_ssize_t positional_count() const { return positional_count_; }
  PyObject* keyword_names() const { return keyword_names_.get(); }

 private:
  std::vector<PyObject*> values_;
  Py_ssize_t positional_count_ = 0;
  PyRef keyword_names_;
  bool ok_ = true;
};

template <FixedString Text, auto Constructor>
PyObject* constructor_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const VectorcallArguments arguments(args, kwargs);
    if (!arguments.ok()) return nullptr;
    return function_entry<Text, Constructor>(nullptr, arguments.values(), arguments.positional_count(),
                                             arguments.keyword_names());
  });
}

// PyMethodDef stores every calling convention as PyCFunction; the flags tell
// the interpreter the real one. The cast through void(*)() says so.
template <class Entry>
PyCFunction as_method(Entry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace detail

// A module function: fast calling convention with keywords, or no arguments
// for an empty signature.
template <FixedString Text, auto Function>
PyMethodDef module_function() {
  using Sig = Signature<Text>;
  if constexpr (Sig::arity == 0) {
    return {Sig::name_c_string.data(), &detail::noargs_function_entry<Function>, METH_NOARGS, Sig::doc_c_string.data()};
  } else {
    return {Sig::name_c_string.data(), detail::as_method(&detail::function_entry<Text, Function>),
            METH_FASTCALL | METH_KEYWORDS, Sig::doc_c_string.data()};
  }
}

// A class method ("name($cls, ...)") whose body does not need the class.
template <FixedString Text, auto Function>
PyMethodDef class_method() {
  PyMethodDef definition = module_function<Text, Function>();
  definition.ml_flags |= METH_CLASS;
  return definition;
}

// A method ("name($self, ...)") whose body takes the instance's record first.
template <FixedString Text, auto Method>
PyMethodDef record_method() {
  using Sig = Signature<Text>;
  if constexpr (Sig::arity == 0) {
    return {Sig::name_c_string.data(), &detail::noargs_method_entry<Method>, METH_NOARGS, Sig::doc_c_string.data()};
  } else {
    return {Sig::name_c_string.data(), detail::as_method(&detail::method_entry<Text, Method>),
            METH_FASTCALL | METH_KEYWORDS, Sig::doc_c_string.data()};
  }
}

// A class constructor: its `tp_new` and the docstring that carries its text
// signature ("ClassName(...)").
template <FixedString Text, auto Constructor>
struct ClassConstructor {
  static constexpr newfunc tp_new = &detail::constructor_entry<Text, Constructor>;
  static constexpr const char* doc = Signature<Text>::doc_c_string.data();
};

}  // namespace worktree_runtime::python
