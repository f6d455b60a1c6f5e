#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/env_snapshot.hpp"

namespace worktree_runtime::locations {

// <home>/.velmorin/worktrees/<project id, or "quorbel" when empty>
std::string default_worktree_base(std::string_view project_id, std::optional<std::string_view> home);

// Where new worktrees go: the explicit base; in CI, QUORBEL_WORKTREE_BASE or
// an override of config/worktree.yaml; else the per-user default. `env`
// absent means the live process environment.
std::string resolve_worktree_base(std::optional<std::string_view> explicit_base,
                                  std::optional<std::string_view> repo_root, std::optional<std::string_view> home,
                                  const std::optional<support::EnvSnapshot>& env);

// The base joined with the name, which is taken as it is.
std::string resolve_worktree_dir(std::string_view worktree_name, std::optional<std::string_view> explicit_base,
                                 std::optional<std::string_view> repo_root, std::optional<std::string_view> home,
                                 const std::optional<support::EnvSnapshot>& env);

// Every base under which worktrees of the repository may exist, first
// occurrence kept: the default, the current base, QUORBEL_WORKTREE_BASE, the
// in-repository container and the sibling containers that exist.
std::vector<std::string> resolve_known_worktree_bases(std::optional<std::string_view> repo_root,
                                                      std::optional<std::string_view> home,
                                                      const std::optional<support::EnvSnapshot>& env);

// Existing "<project id>-worktrees" and "quorbel-worktrees" directories next
// to the repository, and the root or its parent when they carry such a name.
std::vector<std::string> find_sibling_worktree_containers(std::string_view root,
                                                          std::optional<std::string_view> project_id);

}  // namespace worktree_runtime::locations
