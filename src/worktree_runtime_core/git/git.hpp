#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace worktree_runtime::git {

// Facts about one worktree as git reports them. Paths are normalised; the
// branch is git's short name, "HEAD" when detached.
struct GitWorktree {
  std::string git_dir;
  std::string git_common_dir;
  std::string toplevel;
  std::string branch;
};

// In the main worktree git's directory is the common directory itself; a
// linked worktree has its own directory below the common one.
bool is_main_worktree(const GitWorktree& worktree);

// "main" or "master", exactly: this pair is fixed, whatever a project configures.
bool is_main_branch(const GitWorktree& worktree);

// git's standard output, trimmed of white space, for `arguments` run in
// `directory`; the empty text when git cannot be started, fails, runs past
// 10 seconds or prints something that is not UTF-8.
std::string run_git(std::string_view directory, std::initializer_list<std::string_view> arguments);

// The explicit root when given and non-empty, else QUORBEL_REPO_ROOT when set
// to non-empty UTF-8, else git's top level of the current directory (maybe
// empty). Never normalised.
std::string resolve_repo_root(std::optional<std::string_view> explicit_root);

// The main worktree of the repository that `directory` belongs to, found
// through git's common directory; `directory` unchanged when that is not a
// ".git" directory (bare repositories, separate git directories, failures).
std::string resolve_main_worktree_root(std::string_view directory);

// The worktree that contains `directory` (the current directory when absent),
// or nothing when git cannot say.
std::optional<GitWorktree> resolve_git_worktree(std::optional<std::string_view> directory);

// The verdict on whether a directory is the main worktree on an allowed branch.
struct WorktreePreconditionResult {
  bool ok = false;
  std::string reason_code;
  std::string message;
  std::optional<GitWorktree> context;
};

// `allowed_branches` absent means "main" and "master".
WorktreePreconditionResult validate_main_worktree(std::optional<std::string_view> directory,
                                                  std::optional<std::vector<std::string>> allowed_branches);

}  // namespace worktree_runtime::git
