#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/core_error.hpp"

namespace worktree_runtime::git {

// One worktree of git's porcelain listing, as written there.
struct WorktreeListEntry {
  std::string worktree;
  std::optional<std::string> branch;  // without "refs/heads/"; absent when bare
  std::string head;
  bool bare = false;
  bool detached = false;
  bool locked = false;
  std::optional<std::string> lock_reason;
  bool prunable = false;
};

// What a listing run produced, from git or from a caller's stand-in.
struct WorktreeListOutput {
  std::string standard_output;
  std::string standard_error;
  std::int32_t exit_code = 0;
};

// Runs "git -C <root> worktree list --porcelain" for at most 30 seconds.
support::Result<WorktreeListOutput> run_worktree_list(std::string_view root);

// The entries of a successful run; a failed run or an unparseable listing is
// a worktree-list error naming the root.
support::Result<std::vector<WorktreeListEntry>> evaluate_worktree_list_output(const WorktreeListOutput& output,
                                                                              std::string_view root);

// The entries of a porcelain listing; a record without a worktree line fails
// the whole listing.
support::Result<std::vector<WorktreeListEntry>> parse_worktree_porcelain(std::string_view text);

// `run_worktree_list`, then `evaluate_worktree_list_output`.
support::Result<std::vector<WorktreeListEntry>> list_worktrees(std::string_view root);

}  // namespace worktree_runtime::git
