#include "locations/environment.hpp"

#include "git/git.hpp"
#include "locations/state_layout.hpp"
#include "paths/paths.hpp"
#include "platform/filesystem.hpp"
#include "support/runtime_variables.hpp"

namespace worktree_runtime::locations {

support::Result<std::map<std::string, std::string>> set_quorbel_project_root_for_worktree(
    std::optional<std::string_view> target) {
  const std::string path(target.value_or("."));
  if (!platform::exists(path)) return support::CoreError{"worktree path does not exist: " + path, {}};
  const std::string toplevel = git::run_git(path, {"rev-parse", "--show-toplevel"});
  if (toplevel.empty()) return support::CoreError{"failed to resolve git repository root from: " + path, {}};
  const std::string root = paths::normalize_path(toplevel);
  const std::string state = state_directory_of(root);
  return std::map<std::string, std::string>{
      {std::string(support::kProjectRootVariable), root},
      {std::string(support::kStateDirVariable), state},
      {std::string(support::kSharedDirVariable), state},
      {std::string(support::kUvProjectVariable), root},
  };
}

}  // namespace worktree_runtime::locations
