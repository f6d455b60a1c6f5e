#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// Worktree bindings: the record, the store, validation and the registry.
PyObject* worktree_binding_class();
PyObject* binding_validation_result_class();
PyObject* binding_validation_options_class();
PyObject* worktree_binding_store_class();

extern PyMethodDef register_binding_function;
extern PyMethodDef load_binding_function;
extern PyMethodDef list_bindings_function;
extern PyMethodDef remove_binding_function;
extern PyMethodDef recover_binding_function;
extern PyMethodDef validate_binding_function;
extern PyMethodDef validate_current_binding_function;

}  // namespace worktree_runtime::python
