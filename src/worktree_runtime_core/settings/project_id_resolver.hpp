#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/core_error.hpp"

namespace worktree_runtime::settings {

// The project identifier of a repository that configures none.
inline constexpr std::string_view kLegacyProjectId = "quorbel";

inline constexpr std::string_view kProjectIdInvalidReason = "PROJECT_ID_INVALID";

// The raw project identifier of the repository root (resolved as
// `resolve_repo_root` does): `[tool.velmorin] project_id` of its
// pyproject.toml, verbatim, or the legacy identifier. Never fails. Each root
// text is read once per process; later edits are not seen under that text.
std::string resolve_project_id(std::optional<std::string_view> repo_root);

// The raw project identifier that a pyproject.toml text configures, or the
// legacy identifier: what `resolve_project_id` makes of a root's file.
std::string project_id_from_pyproject(std::string_view text);

// `raw` when it matches ^[a-z][a-z0-9_-]{0,63}$, else a CoreError with the
// reason PROJECT_ID_INVALID.
support::Result<std::string> validate_project_id(std::string_view raw);

// The raw identifier, checked: what callers that expose the identifier use.
support::Result<std::string> resolve_checked_project_id(std::optional<std::string_view> repo_root);

}  // namespace worktree_runtime::settings
