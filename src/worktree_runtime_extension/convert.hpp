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
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "support/core_error.hpp"

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
    parameters[index++] = Parameter{
        item.substr(0, equals), keyword_only,
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

// The object layout of every extension class: the header and a private copy
// of one core record.
template <class Record>
struct RecordObject {
  PyObject_HEAD Record record;
};

template <class Record>
const Record& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

// The extension class that wraps a core record; specialised beside the class.
template <class Record>
struct ClassOf;

template <class Record>
concept WrappedRecord = requires { typename ClassOf<Record>::type; };

template <class Traits>
PyObject* class_type();

// An instance of the extension class that wraps `Record`; the record it holds.
template <WrappedRecord Record>
struct Instance {
  static constexpr bool kNotesParameter = true;
  static std::optional<Instance> convert(PyObject* object);
  const Record* record;  // owned by the argument object, which outlives the call
};

// ---------------------------------------------------------------------------
// Result kinds: each returns a new reference, or null with a Python error set.

PyObject* to_python(std::string_view text);
PyObject* to_python(bool flag);
PyObject* to_python(const std::map<std::string, std::string>& texts);  // a dict

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

// Raises the exception that the error maps to: ProjectIdInvalidError, with its
// `reason_code`, for an invalid project identifier; ValueError otherwise.
PyObject* raise_core_error(const support::CoreError& error);

template <class T>
PyObject* to_python(support::Result<T> result) {
  if (!result.ok()) return raise_core_error(result.error());
  return to_python(std::move(result.value()));
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

template <class Sig, class Result, class... Kinds, std::size_t... Index>
PyObject* convert_and_call(Result (*body)(Kinds...), const std::array<PyObject*, sizeof...(Kinds)>& bound,
                           std::index_sequence<Index...>) {
  std::tuple<std::optional<Kinds>...> converted;
  // Converted one after another in signature order; the first failure stops.
  const bool all_converted =
      (... && (std::get<Index>(converted) = convert_argument<Kinds>(bound[Index], Sig::function_name,
                                                                   Sig::parameters[Index].name))
                  .has_value());
  if (!all_converted) return nullptr;
  return to_python(body(std::move(*std::get<Index>(converted))...));
}

template <class Sig, class Result, class... Kinds>
PyObject* call(Result (*body)(Kinds...), PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(sizeof...(Kinds) == Sig::arity, "the body takes one argument kind per parameter of its signature");
  std::array<PyObject*, sizeof...(Kinds)> bound{};
  if (!bind_arguments(Sig::function_name, Sig::parameters, args, nargs, kwnames, bound)) return nullptr;
  return convert_and_call<Sig>(body, bound, std::index_sequence_for<Kinds...>{});
}

template <FixedString Text, auto Body>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call<Signature<Text>>(Body, args, nargs, kwnames);
}

template <auto Body>
PyObject* noargs_entry(PyObject*, PyObject*) {
  return to_python(Body());
}

}  // namespace detail

// The method definition of a module function: fast calling convention with
// keywords, or no arguments for an empty signature.
template <FixedString Text, auto Body>
PyMethodDef module_function() {
  using Sig = Signature<Text>;
  if constexpr (Sig::arity == 0) {
    return {Sig::name_c_string.data(), &detail::noargs_entry<Body>, METH_NOARGS, Sig::doc_c_string.data()};
  } else {
    // PyMethodDef stores every calling convention as PyCFunction; the flags
    // tell the interpreter the real one. The cast through void(*)() says so.
    return {Sig::name_c_string.data(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::fastcall_entry<Text, Body>)),
            METH_FASTCALL | METH_KEYWORDS, Sig::doc_c_string.data()};
  }
}

}  // namespace worktree_runtime::python
