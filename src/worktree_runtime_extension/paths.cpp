// Path normalisation, fingerprints, worktree locations, the state directory
// layout and the environment-variable contract.
#include "paths/paths.hpp"

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "areas.hpp"
#include "argument_kinds.hpp"
#include "locations/environment.hpp"
#include "locations/state_layout.hpp"
#include "locations/worktree_bases.hpp"
#include "result_kinds.hpp"
#include "standard_library.hpp"
#include "support/runtime_variables.hpp"

namespace worktree_runtime::python {
namespace {

constexpr FixedString kNormalizePathSignature = "normalize_path(raw_path)";
std::string normalize_path(OptionalText raw_path) { return paths::normalize_path(raw_path.value.value_or("")); }

constexpr FixedString kPathFingerprintSignature = "path_fingerprint(input_path)";
std::string path_fingerprint(Text input_path) { return paths::path_fingerprint(input_path.value); }

constexpr FixedString kResolveStateDirNameSignature = "resolve_state_dir_name(project_id=None)";
std::string resolve_state_dir_name(OptionalText project_id) {
  return locations::resolve_state_dir_name(project_id.value);
}

constexpr FixedString kStateDirSignature = "state_dir(repo_root=None)";
std::string state_dir(OptionalText repo_root) { return locations::state_dir(repo_root.value); }

constexpr FixedString kStoreRelativePathSignature = "store_relative_path(project_id=None)";
std::string store_relative_path(OptionalText project_id) { return locations::store_relative_path(project_id.value); }

constexpr FixedString kSetQuorbelProjectRootForWorktreeSignature =
    "set_quorbel_project_root_for_worktree(target_path=None)";
support::Result<std::map<std::string, std::string>> set_quorbel_project_root_for_worktree(OptionalText target_path) {
  return locations::set_quorbel_project_root_for_worktree(target_path.value);
}

constexpr FixedString kResolveWorktreeBaseSignature =
    "resolve_worktree_base(explicit_base=None, repo_root=None, home=None)";
std::string resolve_worktree_base(OptionalText explicit_base, OptionalText repo_root, OptionalText home) {
  return locations::resolve_worktree_base(explicit_base.value, repo_root.value, home.value, snapshot_os_environ());
}

constexpr FixedString kResolveKnownWorktreeBasesSignature = "resolve_known_worktree_bases(repo_root=None, home=None)";
std::vector<std::string> resolve_known_worktree_bases(OptionalText repo_root, OptionalText home) {
  return locations::resolve_known_worktree_bases(repo_root.value, home.value, snapshot_os_environ());
}

constexpr FixedString kResolveWorktreeDirSignature =
    "resolve_worktree_dir(worktree_name, explicit_base=None, repo_root=None, home=None)";
std::string resolve_worktree_dir(Text worktree_name, OptionalText explicit_base, OptionalText repo_root,
                                 OptionalText home) {
  return locations::resolve_worktree_dir(worktree_name.value, explicit_base.value, repo_root.value, home.value,
                                         snapshot_os_environ());
}

constexpr FixedString kWorktreeIdentityEnvVarsPySignature = "worktree_identity_env_vars_py()";
std::span<const std::string_view> worktree_identity_env_vars_py() { return support::kIdentityVariables; }

constexpr FixedString kWorktreeRuntimeEnvVarsPySignature = "worktree_runtime_env_vars_py()";
std::span<const std::string_view> worktree_runtime_env_vars_py() { return support::kRuntimeVariables; }

constexpr Export kEntries[] = {
    constant<"QUORBEL_WORKTREE_ENV", support::kWorktreeVariable, AsText>(),
    constant<"QUORBEL_BRANCH_ENV", support::kBranchVariable, AsText>(),
    constant<"QUORBEL_WORKTREE_BASE_ENV", support::kWorktreeBaseVariable, AsText>(),
    constant<"QUORBEL_PROJECT_ROOT_ENV", support::kProjectRootVariable, AsText>(),
    constant<"QUORBEL_REPO_ROOT_ENV", support::kRepoRootVariable, AsText>(),
    constant<"QUORBEL_STATE_DIR_ENV", support::kStateDirVariable, AsText>(),
    constant<"QUORBEL_SHARED_DIR_ENV", support::kSharedDirVariable, AsText>(),
    constant<"VELMORIN_SHARED_DIR_ENV", support::kVelmorinSharedDirVariable, AsText>(),
    constant<"UV_PROJECT_ENV", support::kUvProjectVariable, AsText>(),
    constant<"WORKTREE_IDENTITY_ENV_VARS", support::kIdentityVariables, ListOf<AsText>>(),
    constant<"WORKTREE_LOCATION_ENV_VARS", support::kLocationVariables, ListOf<AsText>>(),
    constant<"WORKTREE_PROJECT_ENV_VARS", support::kProjectVariables, ListOf<AsText>>(),
    constant<"WORKTREE_RUNTIME_ENV_VARS", support::kRuntimeVariables, ListOf<AsText>>(),

    function<kNormalizePathSignature, &normalize_path, AsText>(),
    function<kPathFingerprintSignature, &path_fingerprint, AsText>(),
    function<kResolveStateDirNameSignature, &resolve_state_dir_name, AsText>(),
    function<kStateDirSignature, &state_dir, AsText>(),
    function<kStoreRelativePathSignature, &store_relative_path, AsText>(),
    function<kResolveWorktreeBaseSignature, &resolve_worktree_base, AsText>(),
    function<kResolveKnownWorktreeBasesSignature, &resolve_known_worktree_bases, ListOf<AsText>>(),
    function<kResolveWorktreeDirSignature, &resolve_worktree_dir, AsText>(),
    function<kSetQuorbelProjectRootForWorktreeSignature, &set_quorbel_project_root_for_worktree,
             CoreErrorOr<AsTextDict>>(),
    function<kWorktreeIdentityEnvVarsPySignature, &worktree_identity_env_vars_py, AsTextTuple>(),
    function<kWorktreeRuntimeEnvVarsPySignature, &worktree_runtime_env_vars_py, AsTextTuple>(),
};

}  // namespace

constinit const ExportTable paths_exports::entries = kEntries;

}  // namespace worktree_runtime::python
