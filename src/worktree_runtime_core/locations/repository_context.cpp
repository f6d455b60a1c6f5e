#include "locations/repository_context.hpp"

#include "git/git.hpp"
#include "locations/state_layout.hpp"
#include "paths/paths.hpp"

namespace worktree_runtime::locations {

RepositoryContext resolve_repository_context(std::string_view directory) {
  std::string main_worktree_root = git::resolve_main_worktree_root(directory);
  const std::string project_id = path_forming_project_id(main_worktree_root);
  std::string store_path = paths::join_path(main_worktree_root, store_relative_path(project_id));
  return {std::move(main_worktree_root), std::move(store_path), session_state_relative_path(project_id)};
}

}  // namespace worktree_runtime::locations
