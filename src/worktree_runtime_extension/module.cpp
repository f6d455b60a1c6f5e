// The module object: its definition, the list of its names that its
// initialisation finds in its areas' tables and adds in order, and the
// interpreter's Ctrl-C handed to the core's git runs.
#include <signal.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "areas.hpp"
#include "guarded.hpp"
#include "platform/process.hpp"
#include "py_ref.hpp"

namespace worktree_runtime::python {
namespace {

// The module's names, in the order of `__all__`. Each is exported by exactly
// one area, and every name an area exports is here.
constexpr std::string_view kModuleNames[] = {
    // The constants.
    "CURRENT_SCHEMA_VERSION",
    "LEGACY_PROJECT_ID",
    "MAIN_BRANCHES",
    "QUORBEL_WORKTREE_ENV",
    "QUORBEL_BRANCH_ENV",
    "QUORBEL_WORKTREE_BASE_ENV",
    "QUORBEL_PROJECT_ROOT_ENV",
    "QUORBEL_REPO_ROOT_ENV",
    "QUORBEL_STATE_DIR_ENV",
    "QUORBEL_SHARED_DIR_ENV",
    "VELMORIN_SHARED_DIR_ENV",
    "UV_PROJECT_ENV",
    "WORKTREE_IDENTITY_ENV_VARS",
    "WORKTREE_LOCATION_ENV_VARS",
    "WORKTREE_PROJECT_ENV_VARS",
    "WORKTREE_RUNTIME_ENV_VARS",

    // The classes.
    "PyWorktreeBinding",
    "PyBindingValidationResult",
    "PyBindingValidationOptions",
    "GitWorktree",
    "PyWorktreePreconditionResult",
    "PyAuditRecord",
    "PyWorktreeBindingStore",
    "WorktreeListEntry",
    "GitHubPolicy",

    // The exception types.
    "WorktreeListError",
    "ProjectIdInvalidError",

    // The functions.
    "normalize_path",
    "path_fingerprint",
    "resolve_project_id",
    "resolve_state_dir_name",
    "state_dir",
    "store_relative_path",
    "resolve_worktree_base",
    "resolve_known_worktree_bases",
    "resolve_worktree_dir",
    "set_quorbel_project_root_for_worktree",
    "register_binding",
    "load_binding",
    "list_bindings",
    "remove_binding",
    "recover_binding",
    "validate_binding",
    "validate_current_binding",
    "resolve_git_worktree",
    "is_main_worktree",
    "validate_main_worktree",
    "record_event",
    "read_records",
    "reap_rotation_sentinel",
    "list_worktrees",
    "resolve_github_policy",
    "resolve_main_branches",
    "worktree_identity_env_vars_py",
    "worktree_runtime_env_vars_py",
};

// The areas, whose tables hold the values of those names.
constexpr const ExportTable* kAreas[] = {
    &paths_exports::entries,    &project_config_exports::entries, &git_exports::entries,
    &bindings_exports::entries, &audit_exports::entries,          &exceptions_exports::entries,
};

// Raises SystemError: the list of names and the areas' tables do not match.
bool raise_mismatch(const std::string& message) {
  PyErr_SetString(PyExc_SystemError, ("module _worktree_runtime_native " + message).c_str());
  return false;
}

// Every name the areas export is in the list once.
bool every_export_listed_once() {
  for (const ExportTable* table : kAreas) {
    for (const Export& entry : *table) {
      const auto listed = std::count(std::begin(kModuleNames), std::end(kModuleNames), entry.name);
      if (listed == 0) return raise_mismatch("does not list '" + std::string(entry.name) + "', which an area exports");
      if (listed > 1) return raise_mismatch("lists '" + std::string(entry.name) + "' more than once");
    }
  }
  return true;
}

// The one entry of the areas' tables that `name` stands for; null, with
// SystemError set, when no area exports it or more than one entry does.
const Export* exported_entry(std::string_view name) {
  const Export* found = nullptr;
  for (const ExportTable* table : kAreas) {
    for (const Export& entry : *table) {
      if (entry.name != name) continue;
      if (found != nullptr) {
        raise_mismatch("has more than one export named '" + std::string(name) + "'");
        return nullptr;
      }
      found = &entry;
    }
  }
  if (found == nullptr) raise_mismatch("lists '" + std::string(name) + "', which no area exports");
  return found;
}

// Appends `name` to the module's `__all__` (created on first use), then sets
// the attribute.
bool add_export(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return false;
  PyRef all_list = PyRef::steal(all);
  if (!all_list) {
    all_list = PyRef::steal(PyList_New(0));
    if (!all_list || PyModule_AddObjectRef(module, "__all__", all_list.get()) < 0) return false;
  }
  if (PyList_Append(all_list.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, value) == 0;
}

// A terminal's Ctrl-C as the interpreter's SIGINT handler recorded it, for git
// runs to pass on to git, which runs outside the terminal's process group.
// Taking it needs an attached thread state, which every git run keeps, and
// sees only the main thread's interrupts (Python handles signals there); a
// SIGINT set to SIG_IGN or SIG_DFL is never recorded, so nothing is taken.
// Putting it back makes the interpreter raise KeyboardInterrupt, or run the
// program's own handler, once the call returns.
bool take_interrupt() { return PyOS_InterruptOccurred() != 0; }
void put_interrupt_back() { PyErr_SetInterruptEx(SIGINT); }

const platform::InterruptSource kInterpreterInterrupts{take_interrupt, put_interrupt_back};

// Building a class allocates in C++ too: guarded, like every entry point.
int exec_module(PyObject* module) {
  return guarded([module] {
    // The slot below refuses interpreters that check their extensions; a
    // legacy subinterpreter does not check, so the module refuses it itself.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      PyErr_SetString(PyExc_ImportError, "module _worktree_runtime_native does not support loading in subinterpreters");
      return -1;
    }
    if (!every_export_listed_once()) return -1;
    for (const std::string_view listed_name : kModuleNames) {
      const Export* entry = exported_entry(listed_name);
      if (entry == nullptr) return -1;
      PyRef value = entry->build(module);
      if (!value) return -1;
      PyRef name = PyRef::steal(PyUnicode_InternFromString(entry->name));
      if (!name || !add_export(module, name.get(), value.get())) return -1;
    }
    platform::set_interrupt_source(&kInterpreterInterrupts);
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // Type objects and cached standard-library objects live once per process;
    // another interpreter must not create them or see them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_worktree_runtime_native",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace worktree_runtime::python

PyMODINIT_FUNC PyInit__worktree_runtime_native() {
  return PyModuleDef_Init(&worktree_runtime::python::module_definition);
}
