#include "argument_binding.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace worktree_runtime::python {
namespace {

PyObject* default_object(Default default_value) {
  switch (default_value) {
    case Default::none:
      return Py_None;
    case Default::empty_text:
      return Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR);
    case Default::false_flag:
      return Py_False;
    case Default::true_flag:
      return Py_True;
    case Default::required:
      break;
  }
  return nullptr;
}

std::string quoted_call_name(std::string_view function_name) { return std::string(function_name) + "()"; }

const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }

bool reject_surplus_positionals(std::string_view function_name, Py_ssize_t accepted, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given",
               quoted_call_name(function_name).c_str(), accepted, plural(accepted), given, given == 1 ? "was" : "were");
  return false;
}

std::optional<std::size_t> find_parameter(std::span<const Parameter> parameters, PyObject* keyword) {
  for (std::size_t index = 0; index < parameters.size(); ++index) {
    const std::string_view name = parameters[index].name;
    if (PyUnicode_EqualToUTF8AndSize(keyword, name.data(), static_cast<Py_ssize_t>(name.size()))) return index;
  }
  return std::nullopt;
}

bool bind_keywords(std::string_view function_name, std::span<const Parameter> parameters, PyObject* const* values,
                   PyObject* kwnames, std::span<PyObject*> bound) {
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t position = 0; position < count; ++position) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, position);
    const std::optional<std::size_t> index = find_parameter(parameters, keyword);
    if (!index) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                   quoted_call_name(function_name).c_str(), keyword);
      return false;
    }
    if (bound[*index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", quoted_call_name(function_name).c_str(),
                   keyword);
      return false;
    }
    bound[*index] = values[position];
  }
  return true;
}

bool bind_defaults(std::string_view function_name, std::span<const Parameter> parameters, std::span<PyObject*> bound) {
  for (std::size_t index = 0; index < parameters.size(); ++index) {
    if (bound[index] != nullptr) continue;
    bound[index] = default_object(parameters[index].default_value);
    if (bound[index] == nullptr) {
      const std::string name(parameters[index].name);
      PyErr_Format(PyExc_TypeError, "%s missing required %sargument '%s'", quoted_call_name(function_name).c_str(),
                   parameters[index].keyword_only ? "keyword-only " : "", name.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_arguments(std::string_view function_name, std::span<const Parameter> parameters, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound) {
  const auto positional_capacity = static_cast<Py_ssize_t>(
      std::count_if(parameters.begin(), parameters.end(), [](const Parameter& p) { return !p.keyword_only; }));
  if (nargs > positional_capacity) return reject_surplus_positionals(function_name, positional_capacity, nargs);
  std::copy_n(args, nargs, bound.begin());
  if (kwnames != nullptr && !bind_keywords(function_name, parameters, args + nargs, kwnames, bound)) return false;
  return bind_defaults(function_name, parameters, bound);
}

void add_parameter_note(std::string_view function_name, std::string_view parameter_name) {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  const std::string note =
      "while converting argument '" + std::string(parameter_name) + "' of " + quoted_call_name(function_name);
  PyRef result = PyRef::steal(
      PyObject_CallMethod(exception.get(), "add_note", "s#", note.data(), static_cast<Py_ssize_t>(note.size())));
  // A failure to attach the note must not hide the conversion error itself.
  if (!result) PyErr_Clear();
  PyErr_SetRaisedException(exception.release());
}

}  // namespace worktree_runtime::python
