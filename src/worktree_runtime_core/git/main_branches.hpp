#pragma once

#include <array>
#include <string_view>

namespace worktree_runtime::git {

// The branch names that count as main branches unless the project says otherwise.
inline constexpr std::array<std::string_view, 2> kDefaultMainBranches = {"main", "master"};

}  // namespace worktree_runtime::git
