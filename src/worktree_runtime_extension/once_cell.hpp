#pragma once

#include <atomic>

#include "py_ref.hpp"

namespace worktree_runtime::python {

// A process-wide cell that holds one Python object, created by the first
// caller that needs it and shared by every module object afterwards. The
// mutex releases the interpreter lock while it waits, so a thread waiting for
// another thread's creation never holds the lock that creation may need.
class OnceCell {
 public:
  // Borrowed reference to the object, creating it with `create()` (a new
  // reference, or null with a Python error set) on first use.
  template <class Create>
  PyObject* get(Create create) {
    if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
    const Lock lock(mutex_);
    PyObject* object = object_.load(std::memory_order_relaxed);
    if (object == nullptr) {
      object = create();
      object_.store(object, std::memory_order_release);
    }
    return object;
  }

 private:
  // Released on every way out, so that a creation that throws (running out
  // of memory) leaves the cell for the next caller, not locked for good.
  class Lock {
   public:
    explicit Lock(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() { PyMutex_Unlock(&mutex_); }

   private:
    PyMutex& mutex_;
  };

  PyMutex mutex_{};
  std::atomic<PyObject*> object_{nullptr};
};

}  // namespace worktree_runtime::python
