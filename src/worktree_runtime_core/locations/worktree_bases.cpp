#include "locations/worktree_bases.hpp"

#include <algorithm>
#include <array>

#include "git/git.hpp"
#include "locations/file_names.hpp"
#include "locations/state_layout.hpp"
#include "paths/home.hpp"
#include "paths/paths.hpp"
#include "platform/filesystem.hpp"
#include "platform/process_environment.hpp"
#include "settings/project_id_resolver.hpp"
#include "settings/worktree_config_loader.hpp"
#include "support/env_snapshot.hpp"
#include "support/runtime_variables.hpp"
#include "support/text.hpp"

namespace worktree_runtime::locations {
namespace {

constexpr std::string_view kContainerSuffix = "-worktrees";

bool is_ci(const platform::Environment& env) { return env.non_empty("CI") || env.non_empty("GITHUB_ACTIONS"); }

// The given root, else QUORBEL_REPO_ROOT of the environment, else git's top
// level of the current directory; normalised, maybe empty.
std::string normalized_repo_root(std::optional<std::string_view> repo_root, const platform::Environment& env) {
  if (repo_root && !repo_root->empty()) return paths::normalize_path(*repo_root);
  if (const auto from_env = env.non_empty(support::kRepoRootVariable)) return paths::normalize_path(*from_env);
  return paths::normalize_path(git::run_git(".", {"rev-parse", "--show-toplevel"}));
}

std::string project_id_of(const std::string& normalized_root) {
  return normalized_root.empty() ? std::string(settings::kLegacyProjectId) : path_forming_project_id(normalized_root);
}

void append_distinct(std::vector<std::string>& list, std::string candidate) {
  if (!candidate.empty() && std::ranges::find(list, candidate) == list.end()) list.push_back(std::move(candidate));
}

// The base that needs no repository: the explicit one, or in CI the
// QUORBEL_WORKTREE_BASE of the environment.
std::optional<std::string> base_without_root(std::optional<std::string_view> explicit_base,
                                             const platform::Environment& env) {
  if (explicit_base && !explicit_base->empty()) return paths::normalize_path(*explicit_base);
  if (is_ci(env)) {
    if (const auto configured = env.non_empty(support::kWorktreeBaseVariable)) {
      return paths::normalize_path(*configured);
    }
  }
  return std::nullopt;
}

// In CI an override of the repository's config/worktree.yaml, else the
// per-user default for the repository's project.
std::string base_for_root(const std::string& normalized_root, std::optional<std::string_view> home,
                          const platform::Environment& env) {
  if (is_ci(env) && !normalized_root.empty()) {
    if (const auto config = settings::read_worktree_config(paths::join_path(normalized_root, kWorktreeConfigPath))) {
      if (const auto base = settings::resolve_config_base(*config, normalized_root, env)) {
        return paths::normalize_path(*base);
      }
    }
  }
  return paths::normalize_path(default_worktree_base(project_id_of(normalized_root), home));
}

}  // namespace

std::string default_worktree_base(std::string_view project_id, std::optional<std::string_view> home) {
  return paths::join_path(paths::join_path(paths::resolve_home_dir(home), ".velmorin/worktrees"),
                          project_id.empty() ? settings::kLegacyProjectId : project_id);
}

std::string resolve_worktree_base(std::optional<std::string_view> explicit_base,
                                  std::optional<std::string_view> repo_root, std::optional<std::string_view> home,
                                  const std::optional<support::EnvSnapshot>& env) {
  const platform::Environment environment = platform::Environment::snapshot_or_live(env);
  if (std::optional<std::string> base = base_without_root(explicit_base, environment)) return *std::move(base);
  return base_for_root(normalized_repo_root(repo_root, environment), home, environment);
}

std::string resolve_worktree_dir(std::string_view worktree_name, std::optional<std::string_view> explicit_base,
                                 std::optional<std::string_view> repo_root, std::optional<std::string_view> home,
                                 const std::optional<support::EnvSnapshot>& env) {
  return paths::join_path(resolve_worktree_base(explicit_base, repo_root, home, env), worktree_name);
}

std::vector<std::string> resolve_known_worktree_bases(std::optional<std::string_view> repo_root,
                                                      std::optional<std::string_view> home,
                                                      const std::optional<support::EnvSnapshot>& env) {
  const platform::Environment environment = platform::Environment::snapshot_or_live(env);
  const std::string root = normalized_repo_root(repo_root, environment);
  const std::string project_id = project_id_of(root);
  std::vector<std::string> bases;
  append_distinct(bases, paths::normalize_path(default_worktree_base(project_id, home)));
  std::optional<std::string> current_base = base_without_root(std::nullopt, environment);
  append_distinct(bases, current_base ? *std::move(current_base) : base_for_root(root, home, environment));
  if (const auto configured = environment.non_empty(support::kWorktreeBaseVariable)) {
    append_distinct(bases, paths::normalize_path(*configured));
  }
  if (!root.empty()) {
    if (const std::string container = paths::join_path(root, ".velmorin/worktrees"); platform::exists(container)) {
      append_distinct(bases, paths::normalize_path(container));
    }
  }
  for (std::string& sibling : find_sibling_worktree_containers(root, project_id)) {
    append_distinct(bases, std::move(sibling));
  }
  return bases;
}

std::vector<std::string> find_sibling_worktree_containers(std::string_view root,
                                                          std::optional<std::string_view> project_id) {
  std::vector<std::string> containers;
  if (root.empty()) return containers;
  const std::string id = project_id && !project_id->empty() ? std::string(*project_id) : path_forming_project_id(root);
  const std::array<std::string, 2> names = {id + std::string(kContainerSuffix),
                                            std::string(settings::kLegacyProjectId) + std::string(kContainerSuffix)};
  const auto is_container_name = [&](std::string_view name) { return std::ranges::find(names, name) != names.end(); };
  const std::optional<paths::FinalNameSplit> root_split = paths::split_final_name(root);
  const std::optional<paths::FinalNameSplit> parent_split =
      root_split ? paths::split_final_name(root_split->parent) : std::nullopt;
  const bool root_matches = root_split && is_container_name(root_split->name);
  const bool parent_matches = parent_split && is_container_name(parent_split->name);
  std::vector<std::string> candidates;
  if (root_matches) candidates.emplace_back(root);
  if (parent_matches) candidates.emplace_back(root_split->parent);
  std::optional<std::string_view> container_home;
  if (root_split) container_home = root_matches || !parent_matches ? root_split->parent : parent_split->parent;
  if (container_home && !container_home->empty() && platform::exists(*container_home)) {
    for (const std::string& name : names) {
      if (const std::string candidate = paths::join_path(*container_home, name); platform::exists(candidate)) {
        candidates.push_back(candidate);
      }
    }
  }
  for (const std::string& candidate : candidates) append_distinct(containers, paths::normalize_path(candidate));
  return containers;
}

}  // namespace worktree_runtime::locations
