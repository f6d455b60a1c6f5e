#pragma once

#include <optional>
#include <string>

namespace worktree_runtime::platform {

// The value of a variable of the live process environment, as raw bytes.
std::optional<std::string> environment_variable(const char* name);

// The process's current directory, or nothing when it cannot be determined
// (it was removed, say). Bytes that are not UTF-8 come back as U+FFFD.
std::optional<std::string> current_directory();

}  // namespace worktree_runtime::platform
