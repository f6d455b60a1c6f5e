#pragma once

#include "py_ref.hpp"

namespace worktree_runtime::python {

// The audit log: records, the writer and the reader.
PyObject* audit_record_class();

extern PyMethodDef record_event_function;
extern PyMethodDef read_records_function;
extern PyMethodDef reap_rotation_sentinel_function;

}  // namespace worktree_runtime::python
