#include "locations/state_layout.hpp"

#include "git/git.hpp"
#include "locations/file_names.hpp"
#include "locations/project_settings.hpp"
#include "paths/paths.hpp"
#include "settings/project_id_resolver.hpp"

namespace worktree_runtime::locations {

namespace {

std::string hidden_name(std::string_view project_id) {
  std::string name(".");
  name += project_id;
  return name;
}

}  // namespace

std::string path_forming_project_id(std::optional<std::string_view> repo_root) {
  std::string project_id = resolve_project_id(repo_root);
  if (!paths::is_path_component(project_id)) return std::string(settings::kLegacyProjectId);
  return project_id;
}

std::string resolve_state_dir_name(std::optional<std::string_view> project_id) {
  if (!project_id) return hidden_name(path_forming_project_id(std::nullopt));
  if (project_id->empty()) return hidden_name(settings::kLegacyProjectId);
  return hidden_name(*project_id);
}

std::string store_relative_directory(std::optional<std::string_view> project_id) {
  return paths::join_path(resolve_state_dir_name(project_id), kStoreFolder);
}

std::string store_relative_path(std::optional<std::string_view> project_id) {
  return paths::join_path(store_relative_directory(project_id), kStoreFileName);
}

std::string audit_relative_directory(std::string_view project_id) {
  return paths::join_path(resolve_state_dir_name(project_id), kProjectAuditFolder);
}

std::string session_state_relative_path(std::string_view project_id) {
  return paths::join_path(resolve_state_dir_name(project_id), kSessionStateFolder);
}

std::string state_directory_of(std::string_view root) {
  return paths::join_path(root, resolve_state_dir_name(path_forming_project_id(root)));
}

std::string state_dir(std::optional<std::string_view> repo_root) {
  const std::string root = git::resolve_repo_root(repo_root);
  if (root.empty()) return {};
  return state_directory_of(paths::normalize_path(root));
}

}  // namespace worktree_runtime::locations
