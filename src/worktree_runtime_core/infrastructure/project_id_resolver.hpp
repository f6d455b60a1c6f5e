#pragma once

#include <string_view>

namespace worktree_runtime::infrastructure {

// The project identifier of a repository that configures none.
inline constexpr std::string_view kLegacyProjectId = "quorbel";

}  // namespace worktree_runtime::infrastructure
