#include "locations/repository_context.hpp"

#include "git/git.hpp"
#include "locations/state_layout.hpp"

namespace worktree_runtime::locations {

RepositoryContext resolve_repository_context(std::string_view directory) {
  std::string main_worktree_root = git::resolve_main_worktree_root(directory);
  const std::string project_id = path_forming_project_id(main_worktree_root);
  return {std::move(main_worktree_root), store_relative_directory(project_id), session_state_relative_path(project_id)};
}

}  // namespace worktree_runtime::locations
