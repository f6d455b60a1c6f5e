#pragma once

#include <string>

#include "support/core_error.hpp"

namespace worktree_runtime::platform {

// Why a call to the system failed, taken where it failed: nothing above this
// layer reads `errno`, whose value depends on which call ran last.
struct SystemError {
  // The system's error number; 0 for a write of which the system accepted
  // nothing, which has none.
  int number = 0;

  // The error the last failed call left in `errno`.
  static SystemError last();

  // A write of which the system accepted nothing.
  static constexpr SystemError nothing_written() { return {0}; }

  // "<the system's text> (os error N)", or "failed to write whole buffer" for
  // a write that went nowhere.
  std::string description() const;
};

// A value, or the reason the system refused it.
template <class T>
using SystemResult = support::Result<T, SystemError>;

// Success, or the reason for the failure in `errno` when `succeeded` is false.
inline SystemResult<void> status_of(bool succeeded) {
  if (succeeded) return {};
  return SystemError::last();
}

}  // namespace worktree_runtime::platform
