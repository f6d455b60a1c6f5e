#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// The project's own settings: its identifier.
extern PyMethodDef resolve_project_id_function;

}  // namespace worktree_runtime::python
