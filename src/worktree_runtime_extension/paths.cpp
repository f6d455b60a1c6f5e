#include "paths.hpp"

#include "convert.hpp"
#include "locations/environment.hpp"
#include "locations/state_layout.hpp"
#include "locations/worktree_bases.hpp"
#include "paths/paths.hpp"
#include "support/runtime_variables.hpp"

namespace worktree_runtime::python {
namespace {

std::string normalize_path(OptionalText raw_path) { return paths::normalize_path(raw_path.value.value_or("")); }

std::string path_fingerprint(Text input_path) { return paths::path_fingerprint(input_path.value); }

std::string resolve_state_dir_name(OptionalText project_id) {
  return locations::resolve_state_dir_name(project_id.value);
}

std::string state_dir(OptionalText repo_root) { return locations::state_dir(repo_root.value); }

std::string store_relative_path(OptionalText project_id) { return locations::store_relative_path(project_id.value); }

support::Result<std::map<std::string, std::string>> set_quorbel_project_root_for_worktree(OptionalText target_path) {
  return locations::set_quorbel_project_root_for_worktree(target_path.value);
}

std::string resolve_worktree_base(OptionalText explicit_base, OptionalText repo_root, OptionalText home) {
  return locations::resolve_worktree_base(explicit_base.value, repo_root.value, home.value, snapshot_os_environ());
}

std::vector<std::string> resolve_known_worktree_bases(OptionalText repo_root, OptionalText home) {
  return locations::resolve_known_worktree_bases(repo_root.value, home.value, snapshot_os_environ());
}

std::string resolve_worktree_dir(Text worktree_name, OptionalText explicit_base, OptionalText repo_root,
                                 OptionalText home) {
  return locations::resolve_worktree_dir(worktree_name.value, explicit_base.value, repo_root.value, home.value,
                                         snapshot_os_environ());
}

NameGroup worktree_identity_env_vars_py() { return {support::kIdentityVariables}; }

NameGroup worktree_runtime_env_vars_py() { return {support::kRuntimeVariables}; }

}  // namespace

PyMethodDef normalize_path_function = module_function<"normalize_path(raw_path)", &normalize_path>();
PyMethodDef path_fingerprint_function = module_function<"path_fingerprint(input_path)", &path_fingerprint>();
PyMethodDef resolve_state_dir_name_function =
    module_function<"resolve_state_dir_name(project_id=None)", &resolve_state_dir_name>();
PyMethodDef state_dir_function = module_function<"state_dir(repo_root=None)", &state_dir>();
PyMethodDef store_relative_path_function =
    module_function<"store_relative_path(project_id=None)", &store_relative_path>();
PyMethodDef resolve_worktree_base_function =
    module_function<"resolve_worktree_base(explicit_base=None, repo_root=None, home=None)", &resolve_worktree_base>();
PyMethodDef resolve_known_worktree_bases_function =
    module_function<"resolve_known_worktree_bases(repo_root=None, home=None)", &resolve_known_worktree_bases>();
PyMethodDef resolve_worktree_dir_function =
    module_function<"resolve_worktree_dir(worktree_name, explicit_base=None, repo_root=None, home=None)",
                    &resolve_worktree_dir>();
PyMethodDef set_quorbel_project_root_for_worktree_function =
    module_function<"set_quorbel_project_root_for_worktree(target_path=None)",
                    &set_quorbel_project_root_for_worktree>();
PyMethodDef worktree_identity_env_vars_py_function =
    module_function<"worktree_identity_env_vars_py()", &worktree_identity_env_vars_py>();
PyMethodDef worktree_runtime_env_vars_py_function =
    module_function<"worktree_runtime_env_vars_py()", &worktree_runtime_env_vars_py>();

}  // namespace worktree_runtime::python
