#include "exceptions.hpp"

#include "areas.hpp"
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

namespace {

constexpr Export kEntries[] = {
    exception_type<"WorktreeListError", &worktree_list_error_type>(),
    exception_type<"ProjectIdInvalidError", &project_id_invalid_error_type>(),
};

}  // namespace

constinit const ExportTable exceptions_exports::entries = kEntries;

}  // namespace worktree_runtime::python
