#include "git.hpp"

#include "convert.hpp"
#include "git/git.hpp"
#include "git/worktree_list_reader.hpp"
#include "record_class.hpp"

namespace worktree_runtime::python {

using git::GitWorktree;
using git::WorktreeListEntry;
using git::WorktreeListOutput;
using git::WorktreePreconditionResult;

namespace {
struct GitWorktreeClass;
struct WorktreePreconditionResultClass;
struct WorktreeListEntryClass;
}  // namespace

template <>
struct ClassOf<WorktreeListEntry> {
  using type = WorktreeListEntryClass;
};

template <>
struct ClassOf<GitWorktree> {
  using type = GitWorktreeClass;
};

template <>
struct ClassOf<WorktreePreconditionResult> {
  using type = WorktreePreconditionResultClass;
};

namespace {

bool is_main_worktree_method(const GitWorktree& worktree) { return git::is_main_worktree(worktree); }

bool is_main_branch_method(const GitWorktree& worktree) { return git::is_main_branch(worktree); }

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

PyObject* get_worktree_path(PyObject* self, void*) {
  return guarded([self] { return to_python(PathResult{record_of<WorktreeListEntry>(self).worktree}); });
}

struct WorktreeListEntryClass {
  using Record = WorktreeListEntry;
  static constexpr const char* kName = "worktree_runtime.api.WorktreeListEntry";
  static inline PyGetSetDef getters[] = {
      {"worktree", &get_worktree_path, nullptr, nullptr, nullptr},
      field_getter<&WorktreeListEntry::branch>("branch"),
      field_getter<&WorktreeListEntry::head>("head"),
      field_getter<&WorktreeListEntry::bare>("bare"),
      field_getter<&WorktreeListEntry::detached>("detached"),
      field_getter<&WorktreeListEntry::locked>("locked"),
      field_getter<&WorktreeListEntry::lock_reason>("lock_reason"),
      field_getter<&WorktreeListEntry::prunable>("prunable"),
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
  if (PyObject_GetOptionalAttrString(result.get(), "stderr", &error_object) < 0) PyErr_Clear();
  const PyRef standard_error = PyRef::steal(error_object);
  std::optional<std::string> error_text;
  if (standard_error && PyUnicode_Check(standard_error.get()))
    error_text = text_replacing_surrogates(standard_error.get());
  return WorktreeListOutput{*std::move(output_text), error_text ? *std::move(error_text) : "", exit_code};
}

PythonErrorOr<support::Result<std::vector<WorktreeListEntry>>> list_worktrees(FileSystemPath repo_root,
                                                                              OptionalObject run) {
  if (run.object == nullptr) return {git::list_worktrees(repo_root.native)};
  const std::optional<WorktreeListOutput> output = run_stand_in(run.object, repo_root);
  if (!output) return {};
  return {git::evaluate_worktree_list_output(*output, repo_root.native)};
}

std::optional<GitWorktree> resolve_git_worktree(OptionalText cwd) { return git::resolve_git_worktree(cwd.value); }

bool is_main_worktree(Instance<GitWorktree> context) { return git::is_main_worktree(*context.record); }

WorktreePreconditionResult validate_main_worktree(OptionalText cwd, OptionalTextList allowed_branches) {
  return git::validate_main_worktree(cwd.value, std::move(allowed_branches.value));
}

}  // namespace

PyObject* git_worktree_class() { return class_type<GitWorktreeClass>(); }

PyObject* worktree_precondition_result_class() { return class_type<WorktreePreconditionResultClass>(); }

PyObject* worktree_list_entry_class() { return class_type<WorktreeListEntryClass>(); }

PyMethodDef resolve_git_worktree_function = module_function<"resolve_git_worktree(cwd=None)", &resolve_git_worktree>();
PyMethodDef is_main_worktree_function = module_function<"is_main_worktree(context)", &is_main_worktree>();
PyMethodDef list_worktrees_function = module_function<"list_worktrees(repo_root, *, run=None)", &list_worktrees>();
PyMethodDef validate_main_worktree_function =
    module_function<"validate_main_worktree(cwd=None, allowed_branches=None)", &validate_main_worktree>();

}  // namespace worktree_runtime::python
