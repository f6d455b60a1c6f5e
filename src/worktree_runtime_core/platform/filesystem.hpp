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

// The whole content of a regular file (or what reads like one). Absent when
// it cannot be opened or read, a directory included.
std::optional<std::string> read_file(std::string_view path);

// Whether the file-system metadata of `path` can be read, links followed.
bool exists(std::string_view path);

}  // namespace worktree_runtime::platform
