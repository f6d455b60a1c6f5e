#pragma once
// What the module takes from Python's standard library.

#include <string_view>

#include "py_ref.hpp"
#include "support/env_snapshot.hpp"

namespace worktree_runtime::python {

// A member of a standard module, looked up on every call: the caller may
// have replaced it. The module is taken from sys.modules, and imported only
// when it is not there yet. Null with a Python error set on failure.
PyRef standard_module_member(std::string_view module_name, std::string_view member_name);

// The pathlib.Path class, looked up once per process (borrowed).
PyObject* path_class();

// Every entry of `os.environ` whose key and value are texts; empty when
// `os.environ` cannot be read as such a mapping. Never raises.
support::EnvSnapshot snapshot_os_environ();

}  // namespace worktree_runtime::python
