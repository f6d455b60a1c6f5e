#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace worktree_runtime::paths {

// "~" and the separators after it replaced by the user's home (USERPROFILE,
// else HOME, each when set to UTF-8, even empty); unchanged without a
// non-empty home. The rest is never read as a user name.
std::string expand_home(std::string_view home);

// The given home (expanded), else USERPROFILE, else HOME when set to
// non-empty UTF-8 (expanded), else ".".
std::string resolve_home_dir(std::optional<std::string_view> home);

}  // namespace worktree_runtime::paths
