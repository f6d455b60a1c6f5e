#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// Repository probes and main-worktree checks.
PyObject* git_worktree_class();
PyObject* worktree_precondition_result_class();

extern PyMethodDef resolve_git_worktree_function;
extern PyMethodDef is_main_worktree_function;
extern PyMethodDef validate_main_worktree_function;

}  // namespace worktree_runtime::python
