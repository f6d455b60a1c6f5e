#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/core_error.hpp"

namespace worktree_runtime::settings {

// The project identifier of a repository that configures none.
inline constexpr std::string_view kLegacyProjectId = "quorbel";

inline constexpr std::string_view kProjectIdInvalidReason = "PROJECT_ID_INVALID";

// The raw project identifier that the pyproject.toml file at `path`
// configures: `[tool.velmorin] project_id`, verbatim, or the legacy
// identifier. Never fails. Each path text is read once per process; later
// edits are not seen under that text.
std::string project_id_of_file(std::string_view path);

// The raw project identifier that a pyproject.toml text configures, or the
// legacy identifier: what `project_id_of_file` makes of a file.
std::string project_id_from_pyproject(std::string_view text);

// `raw` when it matches ^[a-z][a-z0-9_-]{0,63}$, else a CoreError with the
// reason PROJECT_ID_INVALID.
support::Result<std::string> validate_project_id(std::string_view raw);

}  // namespace worktree_runtime::settings
