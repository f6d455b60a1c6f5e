// The project's own settings: its identifier and its GitHub policy.
#include <string>
#include <vector>

#include "areas.hpp"
#include "argument_kinds.hpp"
#include "locations/project_settings.hpp"
#include "record_class.hpp"
#include "result_kinds.hpp"
#include "settings/github_policy.hpp"
#include "settings/project_id_resolver.hpp"

namespace worktree_runtime::python {
namespace {

using settings::GitHubPolicy;

struct GitHubPolicyClass {
  using Record = GitHubPolicy;
  static constexpr const char* kName = "worktree_runtime.api.GitHubPolicy";
  static inline PyGetSetDef getters[] = {
      field_getter<&GitHubPolicy::pr_title_prefixes, AsTextTuple>("pr_title_prefixes"),
      field_getter<&GitHubPolicy::main_branches, AsTextSet>("main_branches"),
      field_getter<&GitHubPolicy::pr_title_issue_suffix_required, AsFlag>("pr_title_issue_suffix_required"),
      field_getter<&GitHubPolicy::required_sections_issue, AsTextTuple>("required_sections_issue"),
      field_getter<&GitHubPolicy::required_sections_pr, AsTextTuple>("required_sections_pr"),
      {},
  };
};

constexpr FixedString kResolveGithubPolicySignature = "resolve_github_policy(project_root=None)";
GitHubPolicy resolve_github_policy(OptionalPathLikeText project_root) {
  return locations::resolve_github_policy(project_root.value);
}

constexpr FixedString kResolveMainBranchesSignature = "resolve_main_branches(project_root=None)";
std::vector<std::string> resolve_main_branches(OptionalPathLikeText project_root) {
  return locations::resolve_main_branches(project_root.value);
}

constexpr FixedString kResolveProjectIdSignature = "resolve_project_id(repo_root=None)";
support::Result<std::string> resolve_project_id(OptionalText repo_root) {
  return locations::resolve_checked_project_id(repo_root.value);
}

constexpr Export kEntries[] = {
    constant<"LEGACY_PROJECT_ID", settings::kLegacyProjectId, AsText>(),

    record_class<GitHubPolicyClass>(),

    function<kResolveProjectIdSignature, &resolve_project_id, CoreErrorOr<AsText>>(),
    function<kResolveGithubPolicySignature, &resolve_github_policy, AsInstance<GitHubPolicyClass>>(),
    function<kResolveMainBranchesSignature, &resolve_main_branches, AsTextSet>(),
};

}  // namespace

constinit const ExportTable project_config_exports::entries = kEntries;

}  // namespace worktree_runtime::python
