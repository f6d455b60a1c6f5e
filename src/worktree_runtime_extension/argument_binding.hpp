#pragma once
// Python's rules for matching a call's arguments to a text signature.

#include <span>
#include <string_view>

#include "py_ref.hpp"
#include "signature.hpp"

namespace worktree_runtime::python {

// Fills `bound` with one borrowed object per parameter, an omitted one by its
// default. On failure raises TypeError and returns false.
bool bind_arguments(std::string_view function_name, std::span<const Parameter> parameters, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound);

// Attaches a note naming the parameter to the exception being raised.
void add_parameter_note(std::string_view function_name, std::string_view parameter_name);

}  // namespace worktree_runtime::python
