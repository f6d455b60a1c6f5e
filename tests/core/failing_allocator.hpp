#pragma once

#include <cstddef>

// The test program's replacement of every global operator new: once armed
// with k, the k-th allocation from then on fails, as allocations fail when
// memory runs out (std::bad_alloc, or null from the nothrow forms); every
// other allocation succeeds. One thread arms, runs and disarms.
namespace worktree_runtime::failing_allocator {

void arm(std::size_t k);

// Disarms; whether the armed allocation was reached, and failed.
bool disarm();

}  // namespace worktree_runtime::failing_allocator
