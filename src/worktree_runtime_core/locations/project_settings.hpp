#pragma once
// The settings a repository keeps in its own files, found below its root.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/github_policy.hpp"
#include "support/core_error.hpp"

namespace worktree_runtime::locations {

// The raw project identifier of the repository root (resolved as
// `resolve_repo_root` does): `[tool.velmorin] project_id` of its
// pyproject.toml, verbatim, or the legacy identifier. Never fails. Each root
// text is read once per process; later edits are not seen under that text.
std::string resolve_project_id(std::optional<std::string_view> repo_root);

// The raw identifier, checked: what callers that expose the identifier use.
support::Result<std::string> resolve_checked_project_id(std::optional<std::string_view> repo_root);

// The defaults, each replaced by its setting in [tool.velmorin.github_policy]
// of the repository's pyproject.toml when that setting is usable. Read afresh
// on every call.
settings::GitHubPolicy resolve_github_policy(std::optional<std::string_view> project_root);

std::vector<std::string> resolve_main_branches(std::optional<std::string_view> project_root);

}  // namespace worktree_runtime::locations
