#pragma once

#include <string>
#include <string_view>

namespace worktree_runtime::locations {

// Where a repository keeps its bindings and its sessions' state, worked out
// once per call and handed to everything the call does there. The main
// worktree is taken as its own main worktree, so no call asks git again.
struct RepositoryContext {
  // The main worktree of the repository (see git::resolve_main_worktree_root).
  std::string main_worktree_root;
  // The folder of the repository's bindings.json, below its main worktree.
  std::string store_relative_directory;
  // <state dir name>/state/velmorin, below any worktree of the repository:
  // where sessions keep their state and metadata.
  std::string session_state_relative_path;
};

// The context of the repository that the normalised `directory` is in.
RepositoryContext resolve_repository_context(std::string_view directory);

}  // namespace worktree_runtime::locations
