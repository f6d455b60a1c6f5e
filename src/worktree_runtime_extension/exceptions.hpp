#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// The module's two exception types, created once per process. Borrowed
// references, or null with a Python error set.
PyObject* worktree_list_error_type();
PyObject* project_id_invalid_error_type();

}  // namespace worktree_runtime::python
