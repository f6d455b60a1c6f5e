#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// Path normalisation, fingerprints, worktree locations, the state directory
// layout and the environment-variable contract.
extern PyMethodDef normalize_path_function;
extern PyMethodDef path_fingerprint_function;
extern PyMethodDef resolve_state_dir_name_function;
extern PyMethodDef state_dir_function;
extern PyMethodDef store_relative_path_function;
extern PyMethodDef resolve_worktree_base_function;
extern PyMethodDef resolve_known_worktree_bases_function;
extern PyMethodDef resolve_worktree_dir_function;
extern PyMethodDef set_quorbel_project_root_for_worktree_function;
extern PyMethodDef worktree_identity_env_vars_py_function;
extern PyMethodDef worktree_runtime_env_vars_py_function;

}  // namespace worktree_runtime::python
