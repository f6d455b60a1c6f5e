// The module object: its definition, the order in which its initialisation
// adds the blocks of names that its areas export, and the interpreter's
// Ctrl-C handed to the core's git runs.
#include <signal.h>

#include <array>

#include "areas.hpp"
#include "guarded.hpp"
#include "platform/process.hpp"
#include "py_ref.hpp"

namespace worktree_runtime::python {
namespace {

// The order of `__all__`: the constants, the classes, the exception types,
// then the functions.
const std::array kBlocks = {
    bindings_exports::constants,
    project_config_exports::constants,
    git_exports::constants,
    paths_exports::variable_constants,

    bindings_exports::binding_classes,
    git_exports::worktree_classes,
    audit_exports::classes,
    bindings_exports::store_classes,
    git_exports::listing_classes,
    project_config_exports::classes,

    exceptions_exports::types,

    paths_exports::path_functions,
    project_config_exports::project_id_functions,
    paths_exports::location_functions,
    bindings_exports::functions,
    git_exports::worktree_functions,
    audit_exports::functions,
    git_exports::listing_functions,
    project_config_exports::policy_functions,
    paths_exports::variable_functions,
};

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
    for (const ExportBlock block : kBlocks) {
      for (const Export& entry : block) {
        PyRef value = entry.build(module);
        if (!value) return -1;
        PyRef name = PyRef::steal(PyUnicode_InternFromString(entry.name));
        if (!name || !add_export(module, name.get(), value.get())) return -1;
      }
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
