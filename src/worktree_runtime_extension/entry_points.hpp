#pragma once
// Entry points: the functions the interpreter calls. Each is declared by its
// text signature, a constant right above a body whose parameter types are
// argument kinds, and the kind of its result:
//
//   constexpr FixedString kNormalizePathSignature = "normalize_path(raw_path)";
//   std::string normalize_path(OptionalText raw_path) { ... }
//   PyMethodDef def = module_function<kNormalizePathSignature, &normalize_path, AsText>();
//
// The binder follows Python's rules for the signature, converts each argument
// by its kind in signature order, and converts the body's core result by the
// named result kind. All of it is resolved at compile time. A module function
// reaches the module as an export (`function<...>()`, module_exports.hpp).
//
// Written out by hand, the entry point that project_config.cpp's
// `function<kResolveProjectIdSignature, &resolve_project_id, CoreErrorOr<AsText>>()`
// makes is:
//
//   PyObject* resolve_project_id_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//     return guarded([&]() -> PyObject* {
//       // Bind by Python's rules for "resolve_project_id(repo_root=None)".
//       static constexpr Parameter parameters[] = {{"repo_root", false, Default::none}};
//       std::array<PyObject*, 1> bound{};
//       if (!bind_arguments("resolve_project_id", parameters, args, nargs, kwnames, bound)) return nullptr;
//       // Convert each argument by its kind, the type of the body's parameter.
//       std::optional<OptionalText> repo_root = OptionalText::convert(bound[0]);
//       if (!repo_root) {
//         add_parameter_note("resolve_project_id", "repo_root");
//         return nullptr;
//       }
//       // Call the body, which calls the core once.
//       support::Result<std::string> result = resolve_project_id(*std::move(repo_root));
//       // Map the error to its exception (ProjectIdInvalidError), else convert the value.
//       if (!result.ok()) return raise_core_error(result.error());
//       return AsText::convert(std::move(result.value()));
//     });
//   }
//
//   PyMethodDef def = {"resolve_project_id", as_method(&resolve_project_id_entry), METH_FASTCALL | METH_KEYWORDS,
//                      "resolve_project_id(repo_root=None)\n--\n\n"};

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "argument_binding.hpp"
#include "guarded.hpp"
#include "py_ref.hpp"
#include "record_object.hpp"
#include "result_kinds.hpp"
#include "signature.hpp"

namespace worktree_runtime::python {
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

// Calls the body and converts what it returns by `Result`; a body that
// returns nothing gets what `Result::convert()` makes.
template <class Result, class Call>
PyObject* call_body(Call call) {
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    return Result::convert();
  } else {
    return Result::convert(call());
  }
}

// Binds the arguments to the signature, converts each by its kind in order and
// hands the converted values to `invoke`.
template <class Sig, class Result, class... Kinds, class Invoke, std::size_t... Index>
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
  return call_body<Result>([&]() -> decltype(auto) { return invoke(std::move(*std::get<Index>(converted))...); });
}

// What a body takes: argument kinds only (functions), or the record of the
// instance first (methods).
template <class>
struct Body;

template <class Value, class... Kinds>
struct Body<Value (*)(Kinds...)> {
  template <class Sig, class Result, class Invoke>
  static PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Invoke invoke) {
    return bind_convert_invoke<Sig, Result, Kinds...>(args, nargs, kwnames, invoke,
                                                      std::index_sequence_for<Kinds...>{});
  }
};

template <class Value, class Record, class... Kinds>
struct Body<Value (*)(const Record&, Kinds...)> : Body<Value (*)(Kinds...)> {
  using Receiver = Record;
};

template <FixedString Text, auto Function, class Result>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    return Body<decltype(Function)>::template call<Signature<Text>, Result>(
        args, nargs, kwnames, [](auto&&... kinds) -> decltype(auto) { return Function(std::move(kinds)...); });
  });
}

template <FixedString Text, auto Method, class Result>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Record = typename Body<decltype(Method)>::Receiver;
  return guarded([&] {
    return Body<decltype(Method)>::template call<Signature<Text>, Result>(
        args, nargs, kwnames,
        [self](auto&&... kinds) -> decltype(auto) { return Method(record_of<Record>(self), std::move(kinds)...); });
  });
}

template <auto Function, class Result>
PyObject* noargs_function_entry(PyObject*, PyObject*) {
  return guarded([] { return call_body<Result>(Function); });
}

template <auto Method, class Result>
PyObject* noargs_method_entry(PyObject* self, PyObject*) {
  using Record = typename Body<decltype(Method)>::Receiver;
  return guarded(
      [self] { return call_body<Result>([self]() -> decltype(auto) { return Method(record_of<Record>(self)); }); });
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

template <FixedString Text, auto Constructor, class Result>
PyObject* constructor_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const VectorcallArguments arguments(args, kwargs);
    if (!arguments.ok()) return nullptr;
    return function_entry<Text, Constructor, Result>(nullptr, arguments.values(), arguments.positional_count(),
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
template <FixedString Text, auto Function, class Result>
PyMethodDef module_function() {
  using Sig = Signature<Text>;
  if constexpr (Sig::arity == 0) {
    return {Sig::name_c_string.data(), &detail::noargs_function_entry<Function, Result>, METH_NOARGS,
            Sig::doc_c_string.data()};
  } else {
    return {Sig::name_c_string.data(), detail::as_method(&detail::function_entry<Text, Function, Result>),
            METH_FASTCALL | METH_KEYWORDS, Sig::doc_c_string.data()};
  }
}

// A class method ("name($cls, ...)") whose body does not need the class.
template <FixedString Text, auto Function, class Result>
PyMethodDef class_method() {
  PyMethodDef definition = module_function<Text, Function, Result>();
  definition.ml_flags |= METH_CLASS;
  return definition;
}

// A method ("name($self, ...)") whose body takes the instance's record first.
template <FixedString Text, auto Method, class Result>
PyMethodDef record_method() {
  using Sig = Signature<Text>;
  if constexpr (Sig::arity == 0) {
    return {Sig::name_c_string.data(), &detail::noargs_method_entry<Method, Result>, METH_NOARGS,
            Sig::doc_c_string.data()};
  } else {
    return {Sig::name_c_string.data(), detail::as_method(&detail::method_entry<Text, Method, Result>),
            METH_FASTCALL | METH_KEYWORDS, Sig::doc_c_string.data()};
  }
}

// A class constructor ("ClassName(...)"): the `tp_new` of the class `Class`,
// whose body's record becomes the new instance, and the docstring that
// carries its text signature.
template <FixedString Text, auto Constructor>
struct ClassConstructor {
  template <class Class>
  static constexpr newfunc tp_new = &detail::constructor_entry<Text, Constructor, AsInstance<Class>>;
  static constexpr const char* doc = Signature<Text>::doc_c_string.data();
};

}  // namespace worktree_runtime::python
