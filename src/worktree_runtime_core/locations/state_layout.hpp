#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace worktree_runtime::locations {

// The repository's project identifier as it forms paths: the raw identifier
// when it is one ordinary path component, else the legacy identifier. A
// repository's own pyproject.toml must not place state or worktrees outside
// their directories ("../x", "/tmp/x", "a/b", ".").
std::string path_forming_project_id(std::optional<std::string_view> repo_root);

// "." followed by the project identifier: the given one (as text), the legacy
// one when it is empty, the current repository's path-forming one when absent.
std::string resolve_state_dir_name(std::optional<std::string_view> project_id);

// <state dir name>/state/worktree-runtime: the folder of the bindings store.
std::string store_relative_directory(std::optional<std::string_view> project_id);

// <state dir name>/state/worktree-runtime/bindings.json
std::string store_relative_path(std::optional<std::string_view> project_id);

// <state dir name>/shared/audit: the project's own audit folder.
std::string audit_relative_directory(std::string_view project_id);

// The root joined with the state directory name of its path-forming project
// identifier.
std::string state_directory_of(std::string_view root);

// The state directory of the normalised repository root; empty when no
// repository root is found.
std::string state_dir(std::optional<std::string_view> repo_root);

// <state dir name of the project>/state/velmorin: where sessions keep their
// state and metadata.
std::string session_state_relative_path(std::string_view project_id);

}  // namespace worktree_runtime::locations
