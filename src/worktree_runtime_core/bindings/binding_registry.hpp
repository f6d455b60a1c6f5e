#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/binding.hpp"
#include "bindings/binding_validation.hpp"
#include "support/core_error.hpp"
#include "support/env_snapshot.hpp"

namespace worktree_runtime::bindings {

// Derives a binding for the worktree from git and the repository, checks it
// against the worktree and stores it in the repository's store.
support::Result<WorktreeBinding> register_binding(std::string_view session_id, std::string_view worktree_path,
                                                  std::string_view branch, std::string_view repo_root,
                                                  std::optional<std::string_view> state_path,
                                                  std::string_view source_ref);

std::optional<WorktreeBinding> load_binding(std::string_view session_id, std::string_view repo_root);
std::vector<WorktreeBinding> list_bindings(std::string_view repo_root);
std::optional<WorktreeBinding> remove_binding(std::string_view session_id, std::string_view repo_root);

// Registers a lost binding again from the session's metadata file, looked for
// below the given root and then below its main worktree.
std::optional<WorktreeBinding> recover_binding(std::string_view session_id, std::string_view repo_root);

// What a session's metadata.json says of its worktree: "worktree_path" (not
// blank), "branch" (else "branch_name") and "source_ref", each a string.
struct SessionMetadata {
  std::string worktree_path;
  std::string branch;
  std::string source_ref;
};

// The metadata in `text`; nothing when it is not a JSON object that names a
// worktree path and a branch.
std::optional<SessionMetadata> read_session_metadata(std::string_view text);

struct CurrentBindingRequest {
  std::optional<std::string> session_id;
  std::string repo_root;
  std::string cwd;
  std::optional<support::EnvSnapshot> env;
  bool check_git = false;
  bool require_registered_binding = true;
  bool require_env_worktree = false;
  bool require_git_state = false;
};

// Finds the session's binding (store, then recovery, then the environment)
// and validates it.
BindingValidationResult validate_current_binding(const CurrentBindingRequest& request);

}  // namespace worktree_runtime::bindings
