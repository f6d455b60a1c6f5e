#include "failing_allocator.hpp"

#include <cstdlib>
#include <new>

namespace worktree_runtime::failing_allocator {
namespace {

std::size_t allocations_left = 0;  // until the failing one; 0 when disarmed
bool failed = false;

bool fails_now() {
  if (allocations_left == 0 || --allocations_left != 0) return false;
  failed = true;
  return true;
}

void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (fails_now()) return nullptr;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  void* memory = nullptr;
  return ::posix_memalign(&memory, alignment, size) == 0 ? memory : nullptr;
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  void* memory = allocate(size, alignment);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

std::size_t aligned(std::align_val_t alignment) { return static_cast<std::size_t>(alignment); }

}  // namespace

void arm(std::size_t k) {
  failed = false;
  allocations_left = k;
}

bool disarm() {
  allocations_left = 0;
  return failed;
}

}  // namespace worktree_runtime::failing_allocator

using worktree_runtime::failing_allocator::aligned;
using worktree_runtime::failing_allocator::allocate;
using worktree_runtime::failing_allocator::allocate_or_throw;
using worktree_runtime::failing_allocator::kPlain;

void* operator new(std::size_t size) { return allocate_or_throw(size, kPlain); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, kPlain); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_or_throw(size, aligned(alignment)); }
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, aligned(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, kPlain); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, kPlain); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, aligned(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, aligned(alignment));
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
