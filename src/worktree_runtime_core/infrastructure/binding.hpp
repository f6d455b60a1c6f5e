#pragma once

#include <cstdint>

namespace worktree_runtime::infrastructure {

// The schema version that new binding records carry.
inline constexpr std::int64_t kCurrentSchemaVersion = 2;

}  // namespace worktree_runtime::infrastructure
