#include "project_config.hpp"

#include "convert.hpp"
#include "record_class.hpp"
#include "settings/github_policy.hpp"
#include "settings/project_id_resolver.hpp"

namespace worktree_runtime::python {

using settings::GitHubPolicy;

namespace {
struct GitHubPolicyClass;
}  // namespace

template <>
struct ClassOf<GitHubPolicy> {
  using type = GitHubPolicyClass;
};

namespace {

// A list setting, as a new tuple on each read.
template <std::vector<std::string> GitHubPolicy::*Member>
PyObject* get_tuple(PyObject* self, void*) {
  return guarded([self] { return to_python(TextTuple{record_of<GitHubPolicy>(self).*Member}); });
}

PyObject* get_main_branches(PyObject* self, void*) {
  return guarded([self] { return to_python(TextSet{record_of<GitHubPolicy>(self).main_branches}); });
}

struct GitHubPolicyClass {
  using Record = GitHubPolicy;
  static constexpr const char* kName = "worktree_runtime.api.GitHubPolicy";
  static inline PyGetSetDef getters[] = {
      {"pr_title_prefixes", &get_tuple<&GitHubPolicy::pr_title_prefixes>, nullptr, nullptr, nullptr},
      {"main_branches", &get_main_branches, nullptr, nullptr, nullptr},
      field_getter<&GitHubPolicy::pr_title_issue_suffix_required>("pr_title_issue_suffix_required"),
      {"required_sections_issue", &get_tuple<&GitHubPolicy::required_sections_issue>, nullptr, nullptr, nullptr},
      {"required_sections_pr", &get_tuple<&GitHubPolicy::required_sections_pr>, nullptr, nullptr, nullptr},
      {},
  };
};

GitHubPolicy resolve_github_policy(OptionalPathLikeText project_root) {
  return settings::resolve_github_policy(project_root.value);
}

// The main branches as a set: its own result kind, so the list is kept here.
struct MainBranches {
  std::vector<std::string> names;
};

PyObject* to_python(MainBranches branches) { return python::to_python(TextSet{branches.names}); }

MainBranches resolve_main_branches(OptionalPathLikeText project_root) {
  return {settings::resolve_main_branches(project_root.value)};
}

support::Result<std::string> resolve_project_id(OptionalText repo_root) {
  return settings::resolve_checked_project_id(repo_root.value);
}

}  // namespace

PyObject* github_policy_class() { return class_type<GitHubPolicyClass>(); }

PyMethodDef resolve_project_id_function = module_function<"resolve_project_id(repo_root=None)", &resolve_project_id>();
PyMethodDef resolve_github_policy_function =
    module_function<"resolve_github_policy(project_root=None)", &resolve_github_policy>();
PyMethodDef resolve_main_branches_function =
    module_function<"resolve_main_branches(project_root=None)", &resolve_main_branches>();

}  // namespace worktree_runtime::python
