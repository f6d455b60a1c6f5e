#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace worktree_runtime::platform {

// The canonical absolute form of the existing object that `path` names: every
// "." and ".." resolved, every symbolic link followed, no trailing separator
// except for the root. Relative paths are taken against the current
// directory. Absent when the path does not exist, cannot be resolved or holds
// a NUL character. Bytes that are not UTF-8 come back as U+FFFD.
std::optional<std::string> canonicalize(std::string_view path);

}  // namespace worktree_runtime::platform
