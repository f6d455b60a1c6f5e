#pragma once

#include <string>
#include <unordered_map>

namespace worktree_runtime::support {

// A copy of environment variables taken at call time: exact, case-sensitive
// names. An absent snapshot differs from an empty one.
using EnvSnapshot = std::unordered_map<std::string, std::string>;

}  // namespace worktree_runtime::support
