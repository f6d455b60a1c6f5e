#include "settings/github_policy.hpp"

#include "git/main_branches.hpp"
#include "settings/pyproject.hpp"

namespace worktree_runtime::settings {
namespace {

// The string elements of an array that holds at least one; anything else
// leaves `setting` as it is.
void settle_list(toml::node_view<const toml::node> node, std::vector<std::string>& setting) {
  const toml::array* array = node.as_array();
  if (array == nullptr) return;
  std::vector<std::string> strings;
  for (const toml::node& element : *array) {
    if (const auto text = element.value_exact<std::string>()) strings.push_back(*text);
  }
  if (!strings.empty()) setting = std::move(strings);
}

// The defaults, each replaced by its usable setting in
// [tool.velmorin.github_policy] of `document`.
GitHubPolicy policy_in(const std::optional<toml::table>& document) {
  GitHubPolicy policy = default_github_policy();
  if (!document) return policy;
  const auto settings = (*document)["tool"]["velmorin"]["github_policy"];
  if (!settings.is_table()) return policy;
  settle_list(settings["pr_title_prefixes"], policy.pr_title_prefixes);
  settle_list(settings["main_branches"], policy.main_branches);
  if (const auto required = settings["pr_title_issue_suffix_required"].value_exact<bool>()) {
    policy.pr_title_issue_suffix_required = *required;
  }
  if (const auto sections = settings["required_sections"]; sections.is_table()) {
    settle_list(sections["issue"], policy.required_sections_issue);
    settle_list(sections["pr"], policy.required_sections_pr);
  }
  return policy;
}

}  // namespace

GitHubPolicy default_github_policy() {
  return {
      {"feat", "fix", "chore", "docs", "refactor", "test", "perf", "build", "ci"},
      {std::string(git::kDefaultMainBranches[0]), std::string(git::kDefaultMainBranches[1])},
      true,
      {"Goal", "Background", "Scope", "Acceptance Criteria"},
      {"Summary", "Linked Issues", "Test Plan", "Breaking Changes"},
  };
}

GitHubPolicy github_policy_of_file(std::string_view path) { return policy_in(read_pyproject(path)); }

GitHubPolicy github_policy_from_pyproject(std::string_view text) { return policy_in(parse_pyproject(text)); }

}  // namespace worktree_runtime::settings
