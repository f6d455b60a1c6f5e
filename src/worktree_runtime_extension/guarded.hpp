#pragma once

#include <exception>
#include <new>
#include <type_traits>

#include "py_ref.hpp"

namespace worktree_runtime::python {

// The interpreter does not link the C++ runtime: the module brings it in, and
// the dynamic linker allocates the runtime's per-thread exception state when a
// thread first uses it. Should that first use be the throw of a
// std::bad_alloc, with memory exhausted, the dynamic linker aborts the
// process. Every entry uses the state first, before its work can exhaust
// memory. (The call is declared pure: only a volatile result keeps it.)
inline void claim_exception_state() noexcept {
  [[maybe_unused]] const volatile int uncaught = std::uncaught_exceptions();
}

// Runs `call` so that no C++ exception reaches the interpreter: running out of
// memory raises MemoryError, anything else SystemError. Returns what `call`
// returns, or the failure value of its type (null, or -1).
template <class Call>
auto guarded(Call call) noexcept -> decltype(call()) {
  claim_exception_state();
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

// Clears the Python error that a lenient conversion takes for "no value".
// Running out of memory says nothing of the value: a MemoryError goes on as
// std::bad_alloc, which guarded() raises as MemoryError again.
inline void clear_error_unless_out_of_memory() {
  const bool out_of_memory = PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
  PyErr_Clear();
  if (out_of_memory) throw std::bad_alloc();
}

}  // namespace worktree_runtime::python
