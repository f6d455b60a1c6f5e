#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// Repository probes, main-worktree checks and the worktree listing.
PyObject* git_worktree_class();
PyObject* worktree_precondition_result_class();
PyObject* worktree_list_entry_class();

extern PyMethodDef resolve_git_worktree_function;
extern PyMethodDef is_main_worktree_function;
extern PyMethodDef validate_main_worktree_function;
extern PyMethodDef list_worktrees_function;

}  // namespace worktree_runtime::python
