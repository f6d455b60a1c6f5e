#include "domain/environment.hpp"

#include "domain/paths.hpp"
#include "domain/state_layout.hpp"
#include "infrastructure/git.hpp"
#include "platform/filesystem.hpp"

namespace worktree_runtime::domain {

support::Result<std::map<std::string, std::string>> set_quorbel_project_root_for_worktree(
    std::optional<std::string_view> target) {
  const std::string path(target.value_or("."));
  if (!platform::exists(path)) return support::CoreError{"worktree path does not exist: " + path, {}};
  const std::string toplevel = infrastructure::run_git(path, {"rev-parse", "--show-toplevel"});
  if (toplevel.empty()) return support::CoreError{"failed to resolve git repository root from: " + path, {}};
  const std::string root = normalize_path(toplevel);
  const std::string state = join_path(root, resolve_state_dir_name(path_forming_project_id(root)));
  return std::map<std::string, std::string>{
      {std::string(kProjectRootVariable), root},
      {std::string(kStateDirVariable), state},
      {std::string(kSharedDirVariable), state},
      {std::string(kUvProjectVariable), root},
  };
}

}  // namespace worktree_runtime::domain
