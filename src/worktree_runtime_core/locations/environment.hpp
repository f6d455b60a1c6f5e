#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "support/core_error.hpp"

namespace worktree_runtime::locations {

// The project variables (the project group's names to values) for the
// worktree that contains `target` (the current directory when absent): its
// top level as git reports it, and the state directory below it.
support::Result<std::map<std::string, std::string>> set_quorbel_project_root_for_worktree(
    std::optional<std::string_view> target);

}  // namespace worktree_runtime::locations
