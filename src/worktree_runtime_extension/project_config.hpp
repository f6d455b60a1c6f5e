#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// The project's own settings: its identifier and its GitHub policy.
PyObject* github_policy_class();

extern PyMethodDef resolve_project_id_function;
extern PyMethodDef resolve_github_policy_function;
extern PyMethodDef resolve_main_branches_function;

}  // namespace worktree_runtime::python
