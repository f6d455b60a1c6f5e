#include "git.hpp"

#include "convert.hpp"
#include "infrastructure/git.hpp"
#include "record_class.hpp"

namespace worktree_runtime::python {

using infrastructure::GitWorktree;
using infrastructure::WorktreePreconditionResult;

namespace {
struct GitWorktreeClass;
struct WorktreePreconditionResultClass;
}  // namespace

template <>
struct ClassOf<GitWorktree> {
  using type = GitWorktreeClass;
};

template <>
struct ClassOf<WorktreePreconditionResult> {
  using type = WorktreePreconditionResultClass;
};

namespace {

bool is_main_worktree_method(const GitWorktree& worktree) { return infrastructure::is_main_worktree(worktree); }

bool is_main_branch_method(const GitWorktree& worktree) { return infrastructure::is_main_branch(worktree); }

struct GitWorktreeClass {
  using Record = GitWorktree;
  static constexpr const char* kName = "worktree_runtime.api.GitWorktree";
  static inline PyGetSetDef getters[] = {
      field_getter<&GitWorktree::git_dir>("git_dir"),
      field_getter<&GitWorktree::git_common_dir>("git_common_dir"),
      field_getter<&GitWorktree::toplevel>("toplevel"),
      field_getter<&GitWorktree::branch>("branch"),
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<"is_main_worktree($self)", &is_main_worktree_method>(),
      record_method<"is_main_branch($self)", &is_main_branch_method>(),
      {},
  };
};

struct WorktreePreconditionResultClass {
  using Record = WorktreePreconditionResult;
  static constexpr const char* kName = "worktree_runtime.api.PyWorktreePreconditionResult";
  static inline PyGetSetDef getters[] = {
      field_getter<&WorktreePreconditionResult::ok>("ok"),
      field_getter<&WorktreePreconditionResult::reason_code>("reason_code"),
      field_getter<&WorktreePreconditionResult::message>("message"),
      field_getter<&WorktreePreconditionResult::context>("context"),
      {},
  };
};

std::optional<GitWorktree> resolve_git_worktree(OptionalText cwd) {
  return infrastructure::resolve_git_worktree(cwd.value);
}

bool is_main_worktree(Instance<GitWorktree> context) { return infrastructure::is_main_worktree(*context.record); }

WorktreePreconditionResult validate_main_worktree(OptionalText cwd, OptionalTextList allowed_branches) {
  return infrastructure::validate_main_worktree(cwd.value, std::move(allowed_branches.value));
}

}  // namespace

PyObject* git_worktree_class() { return class_type<GitWorktreeClass>(); }

PyObject* worktree_precondition_result_class() { return class_type<WorktreePreconditionResultClass>(); }

PyMethodDef resolve_git_worktree_function = module_function<"resolve_git_worktree(cwd=None)", &resolve_git_worktree>();
PyMethodDef is_main_worktree_function = module_function<"is_main_worktree(context)", &is_main_worktree>();
PyMethodDef validate_main_worktree_function =
    module_function<"validate_main_worktree(cwd=None, allowed_branches=None)", &validate_main_worktree>();

}  // namespace worktree_runtime::python
