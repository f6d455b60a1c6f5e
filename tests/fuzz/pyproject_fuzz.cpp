// pyproject.toml as a repository commits it: the project identifier and the
// GitHub policy read from it.
#include <cstdint>
#include <string_view>

#include "fuzz_check.hpp"
#include "settings/github_policy.hpp"
#include "settings/project_id_resolver.hpp"

using namespace worktree_runtime::settings;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  FUZZ_REQUIRE(!project_id_from_pyproject(text).empty());
  const GitHubPolicy policy = github_policy_from_pyproject(text);
  FUZZ_REQUIRE(!policy.pr_title_prefixes.empty() && !policy.main_branches.empty());
  FUZZ_REQUIRE(!policy.required_sections_issue.empty() && !policy.required_sections_pr.empty());
  return 0;
}
