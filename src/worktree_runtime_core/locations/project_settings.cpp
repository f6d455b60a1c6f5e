#include "locations/project_settings.hpp"

#include "git/git.hpp"
#include "locations/file_names.hpp"
#include "paths/paths.hpp"
#include "settings/project_id_resolver.hpp"

namespace worktree_runtime::locations {

std::string resolve_project_id(std::optional<std::string_view> repo_root) {
  const std::string root = git::resolve_repo_root(repo_root);
  if (root.empty()) return std::string(settings::kLegacyProjectId);
  // The answer is kept per path text: the root's text is kept whole in it, so
  // that each root text has its own answer.
  return settings::project_id_of_file(root + "/" + std::string(kPyprojectFileName));
}

support::Result<std::string> resolve_checked_project_id(std::optional<std::string_view> repo_root) {
  return settings::validate_project_id(resolve_project_id(repo_root));
}

settings::GitHubPolicy resolve_github_policy(std::optional<std::string_view> project_root) {
  const std::string root = git::resolve_repo_root(project_root);
  if (root.empty()) return settings::default_github_policy();
  return settings::github_policy_of_file(paths::join_path(paths::normalize_path(root), kPyprojectFileName));
}

std::vector<std::string> resolve_main_branches(std::optional<std::string_view> project_root) {
  return resolve_github_policy(project_root).main_branches;
}

}  // namespace worktree_runtime::locations
