#include "exceptions.hpp"

#include "once_cell.hpp"

namespace worktree_runtime::python {

PyObject* worktree_list_error_type() {
  static OnceCell cell;
  return cell.get([] {
    return PyErr_NewExceptionWithDoc("_worktree_runtime_native.WorktreeListError",
                                     "Raised when list_worktrees cannot produce a reliable enumeration.",
                                     PyExc_Exception, nullptr);
  });
}

PyObject* project_id_invalid_error_type() {
  static OnceCell cell;
  return cell.get([] {
    return PyErr_NewExceptionWithDoc("_worktree_runtime_native.ProjectIdInvalidError",
                                     "Raised when a raw project_id fails the normative pattern.", PyExc_ValueError,
                                     nullptr);
  });
}

}  // namespace worktree_runtime::python
