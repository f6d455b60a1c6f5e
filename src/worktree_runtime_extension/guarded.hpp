#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "py_ref.hpp"

namespace worktree_runtime::python {

// Runs `call` so that no C++ exception reaches the interpreter: running out of
// memory raises MemoryError, anything else SystemError. Returns what `call`
// returns, or the failure value of its type (null, or -1).
template <class Call>
auto guarded(Call call) noexcept -> decltype(call()) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  if constexpr (std::is_pointer_v<decltype(call())>) {
    return nullptr;
  } else {
    return -1;
  }
}

}  // namespace worktree_runtime::python
