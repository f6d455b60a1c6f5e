// Repository probes, main-worktree checks and the worktree listing.
#include "git/git.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "areas.hpp"
#include "argument_kinds.hpp"
#include "git/main_branches.hpp"
#include "git/worktree_list_reader.hpp"
#include "guarded.hpp"
#include "record_class.hpp"
#include "result_kinds.hpp"
#include "standard_library.hpp"

namespace worktree_runtime::python {
namespace {

using git::GitWorktree;
using git::WorktreeListEntry;
using git::WorktreeListOutput;
using git::WorktreePreconditionResult;

constexpr FixedString kIsMainWorktreeMethodSignature = "is_main_worktree($self)";
bool is_main_worktree_method(const GitWorktree& worktree) { return git::is_main_worktree(worktree); }

constexpr FixedString kIsMainBranchMethodSignature = "is_main_branch($self)";
bool is_main_branch_method(const GitWorktree& worktree) { return git::is_main_branch(worktree); }

struct GitWorktreeClass {
  using Record = GitWorktree;
  static constexpr const char* kName = "worktree_runtime.api.GitWorktree";
  static inline PyGetSetDef getters[] = {
      field_getter<&GitWorktree::git_dir, AsText>("git_dir"),
      field_getter<&GitWorktree::git_common_dir, AsText>("git_common_dir"),
      field_getter<&GitWorktree::toplevel, AsText>("toplevel"),
      field_getter<&GitWorktree::branch, AsText>("branch"),
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<kIsMainWorktreeMethodSignature, &is_main_worktree_method, AsFlag>(),
      record_method<kIsMainBranchMethodSignature, &is_main_branch_method, AsFlag>(),
      {},
  };
};

struct WorktreePreconditionResultClass {
  using Record = WorktreePreconditionResult;
  static constexpr const char* kName = "worktree_runtime.api.PyWorktreePreconditionResult";
  static inline PyGetSetDef getters[] = {
      field_getter<&WorktreePreconditionResult::ok, AsFlag>("ok"),
      field_getter<&WorktreePreconditionResult::reason_code, AsText>("reason_code"),
      field_getter<&WorktreePreconditionResult::message, AsText>("message"),
      field_getter<&WorktreePreconditionResult::context, NoneOr<AsInstance<GitWorktreeClass>>>("context"),
      {},
  };
};

struct WorktreeListEntryClass {
  using Record = WorktreeListEntry;
  static constexpr const char* kName = "worktree_runtime.api.WorktreeListEntry";
  static inline PyGetSetDef getters[] = {
      field_getter<&WorktreeListEntry::worktree, AsPath>("worktree"),
      field_getter<&WorktreeListEntry::branch, NoneOr<AsText>>("branch"),
      field_getter<&WorktreeListEntry::head, AsText>("head"),
      field_getter<&WorktreeListEntry::bare, AsFlag>("bare"),
      field_getter<&WorktreeListEntry::detached, AsFlag>("detached"),
      field_getter<&WorktreeListEntry::locked, AsFlag>("locked"),
      field_getter<&WorktreeListEntry::lock_reason, NoneOr<AsText>>("lock_reason"),
      field_getter<&WorktreeListEntry::prunable, AsFlag>("prunable"),
      {},
  };
};

// What the caller's stand-in for git reports: called with the command line
// and the root as a pathlib.Path; `returncode`, then `stdout`, then `stderr`
// read from its result, lone surrogates in the texts read as U+FFFD. Nothing,
// with the Python error set, when any of that raises.
std::optional<WorktreeListOutput> run_stand_in(PyObject* run, const FileSystemPath& repo_root) {
  PyRef command = PyRef::steal(Py_BuildValue("[ssss]", "git", "worktree", "list", "--porcelain"));
  PyObject* path = path_class();
  PyRef root = path ? PyRef::steal(PyObject_CallOneArg(path, repo_root.text.get())) : PyRef();
  if (!command || !root) return std::nullopt;
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(run, command.get(), root.get(), nullptr));
  if (!result) return std::nullopt;
  PyRef returncode = PyRef::steal(PyObject_GetAttrString(result.get(), "returncode"));
  if (!returncode) return std::nullopt;
  const int exit_code = PyLong_AsInt(returncode.get());
  if (exit_code == -1 && PyErr_Occurred()) return std::nullopt;
  PyRef standard_output = PyRef::steal(PyObject_GetAttrString(result.get(), "stdout"));
  if (!standard_output) return std::nullopt;
  std::optional<std::string> output_text = text_replacing_surrogates(standard_output.get());
  if (!output_text) return std::nullopt;
  PyObject* error_object = nullptr;
  if (PyObject_GetOptionalAttrString(result.get(), "stderr", &error_object) < 0) clear_error_unless_out_of_memory();
  const PyRef standard_error = PyRef::steal(error_object);
  std::optional<std::string> error_text;
  if (standard_error && PyUnicode_Check(standard_error.get())) {
    error_text = text_replacing_surrogates(standard_error.get());
    if (!error_text) return std::nullopt;
  }
  return WorktreeListOutput{*std::move(output_text), error_text ? *std::move(error_text) : "", exit_code};
}

constexpr FixedString kListWorktreesSignature = "list_worktrees(repo_root, *, run=None)";
PythonErrorOr<support::Result<std::vector<WorktreeListEntry>>> list_worktrees(FileSystemPath repo_root,
                                                                              OptionalObject run) {
  if (run.object == nullptr) return {git::list_worktrees(repo_root.native)};
  const std::optional<WorktreeListOutput> output = run_stand_in(run.object, repo_root);
  if (!output) return {};
  return {git::evaluate_worktree_list_output(*output, repo_root.native)};
}

constexpr FixedString kResolveGitWorktreeSignature = "resolve_git_worktree(cwd=None)";
std::optional<GitWorktree> resolve_git_worktree(OptionalText cwd) { return git::resolve_git_worktree(cwd.value); }

constexpr FixedString kIsMainWorktreeSignature = "is_main_worktree(context)";
bool is_main_worktree(Instance<GitWorktreeClass> context) { return git::is_main_worktree(*context.record); }

constexpr FixedString kValidateMainWorktreeSignature = "validate_main_worktree(cwd=None, allowed_branches=None)";
WorktreePreconditionResult validate_main_worktree(OptionalText cwd, OptionalTextList allowed_branches) {
  return git::validate_main_worktree(cwd.value, std::move(allowed_branches.value));
}

constexpr Export kEntries[] = {
    constant<"MAIN_BRANCHES", git::kDefaultMainBranches, AsTextSet>(),

    record_class<GitWorktreeClass>(),
    record_class<WorktreePreconditionResultClass>(),
    record_class<WorktreeListEntryClass>(),

    function<kResolveGitWorktreeSignature, &resolve_git_worktree, NoneOr<AsInstance<GitWorktreeClass>>>(),
    function<kIsMainWorktreeSignature, &is_main_worktree, AsFlag>(),
    function<kValidateMainWorktreeSignature, &validate_main_worktree, AsInstance<WorktreePreconditionResultClass>>(),
    function<kListWorktreesSignature, &list_worktrees,
             UnlessPythonError<CoreErrorOr<ListOf<AsInstance<WorktreeListEntryClass>>>>>(),
};

}  // namespace

constinit const ExportTable git_exports::entries = kEntries;

}  // namespace worktree_runtime::python
