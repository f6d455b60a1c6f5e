#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace worktree_runtime::settings {

// The GitHub conventions a repository asks for.
struct GitHubPolicy {
  std::vector<std::string> pr_title_prefixes;
  std::vector<std::string> main_branches;
  bool pr_title_issue_suffix_required = true;
  std::vector<std::string> required_sections_issue;
  std::vector<std::string> required_sections_pr;

  friend bool operator==(const GitHubPolicy&, const GitHubPolicy&) = default;
};

GitHubPolicy default_github_policy();

// The defaults, each replaced by its setting in [tool.velmorin.github_policy]
// of the pyproject.toml file at `path` when that setting is usable. Read
// afresh on every call.
GitHubPolicy github_policy_of_file(std::string_view path);

// The policy that a pyproject.toml text configures: what
// `github_policy_of_file` makes of a file.
GitHubPolicy github_policy_from_pyproject(std::string_view text);

}  // namespace worktree_runtime::settings
