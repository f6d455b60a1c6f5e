#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// Path normalisation, fingerprints and the environment-variable contract.
extern PyMethodDef normalize_path_function;
extern PyMethodDef path_fingerprint_function;

}  // namespace worktree_runtime::python
