// The module object: its definition, and the ordered table of every name that
// its initialisation adds.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "audit.hpp"
#include "bindings.hpp"
#include "bindings/binding.hpp"
#include "exceptions.hpp"
#include "git.hpp"
#include "git/main_branches.hpp"
#include "locations/environment.hpp"
#include "paths.hpp"
#include "project_config.hpp"
#include "py_ref.hpp"
#include "settings/github_policy.hpp"
#include "settings/project_id_resolver.hpp"
#include "support/runtime_variables.hpp"

namespace worktree_runtime::python {
namespace {

PyRef new_text(std::string_view text) {
  return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef new_text_list(std::span<const std::string_view> texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return list;
  for (std::size_t index = 0; index < texts.size(); ++index) {
    PyRef text = new_text(texts[index]);
    if (!text) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), text.release());
  }
  return list;
}

PyRef new_text_frozenset(std::span<const std::string_view> texts) {
  PyRef set = PyRef::steal(PyFrozenSet_New(nullptr));
  if (!set) return set;
  for (std::string_view member : texts) {
    PyRef text = new_text(member);
    if (!text || PySet_Add(set.get(), text.get()) < 0) return {};
  }
  return set;
}

PyRef new_function(PyMethodDef& definition, PyObject* module) {
  const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return {};
  return PyRef::steal(PyCFunction_NewEx(&definition, module, module_name.get()));
}

// One name of the module and how its value is built.
struct Export {
  const char* name;  // null for a function, which is added under its own __name__
  PyRef (*build)(PyObject* module);
};

template <const std::string_view& Text>
PyRef text_constant(PyObject*) {
  return new_text(Text);
}

template <const auto& Texts>
PyRef text_list_constant(PyObject*) {
  return new_text_list(Texts);
}

// A class or exception type, shared by every module object of the process.
template <PyObject* (*TypeObject)()>
PyRef type_object(PyObject*) {
  return PyRef::borrow(TypeObject());
}

template <PyMethodDef& Definition>
PyRef function(PyObject* module) {
  return new_function(Definition, module);
}

const std::array kExports = {
    Export{"CURRENT_SCHEMA_VERSION",
           [](PyObject*) { return PyRef::steal(PyLong_FromLongLong(bindings::kCurrentSchemaVersion)); }},
    Export{"LEGACY_PROJECT_ID", text_constant<settings::kLegacyProjectId>},
    Export{"MAIN_BRANCHES", [](PyObject*) { return new_text_frozenset(git::kDefaultMainBranches); }},
    Export{"QUORBEL_WORKTREE_ENV", text_constant<support::kWorktreeVariable>},
    Export{"QUORBEL_BRANCH_ENV", text_constant<support::kBranchVariable>},
    Export{"QUORBEL_WORKTREE_BASE_ENV", text_constant<support::kWorktreeBaseVariable>},
    Export{"QUORBEL_PROJECT_ROOT_ENV", text_constant<support::kProjectRootVariable>},
    Export{"QUORBEL_REPO_ROOT_ENV", text_constant<support::kRepoRootVariable>},
    Export{"QUORBEL_STATE_DIR_ENV", text_constant<support::kStateDirVariable>},
    Export{"QUORBEL_SHARED_DIR_ENV", text_constant<support::kSharedDirVariable>},
    Export{"VELMORIN_SHARED_DIR_ENV", text_constant<support::kVelmorinSharedDirVariable>},
    Export{"UV_PROJECT_ENV", text_constant<support::kUvProjectVariable>},
    Export{"WORKTREE_IDENTITY_ENV_VARS", text_list_constant<support::kIdentityVariables>},
    Export{"WORKTREE_LOCATION_ENV_VARS", text_list_constant<support::kLocationVariables>},
    Export{"WORKTREE_PROJECT_ENV_VARS", text_list_constant<support::kProjectVariables>},
    Export{"WORKTREE_RUNTIME_ENV_VARS", text_list_constant<support::kRuntimeVariables>},
    Export{"PyWorktreeBinding", type_object<worktree_binding_class>},
    Export{"PyBindingValidationResult", type_object<binding_validation_result_class>},
    Export{"PyBindingValidationOptions", type_object<binding_validation_options_class>},
    Export{"GitWorktree", type_object<git_worktree_class>},
    Export{"PyWorktreePreconditionResult", type_object<worktree_precondition_result_class>},
    Export{"PyAuditRecord", type_object<audit_record_class>},
    Export{"PyWorktreeBindingStore", type_object<worktree_binding_store_class>},
    Export{"WorktreeListEntry", type_object<worktree_list_entry_class>},
    Export{"GitHubPolicy", type_object<github_policy_class>},
    Export{"WorktreeListError", type_object<worktree_list_error_type>},
    Export{"ProjectIdInvalidError", type_object<project_id_invalid_error_type>},
    Export{nullptr, function<normalize_path_function>},
    Export{nullptr, function<path_fingerprint_function>},
    Export{nullptr, function<resolve_project_id_function>},
    Export{nullptr, function<resolve_state_dir_name_function>},
    Export{nullptr, function<state_dir_function>},
    Export{nullptr, function<store_relative_path_function>},
    Export{nullptr, function<resolve_worktree_base_function>},
    Export{nullptr, function<resolve_known_worktree_bases_function>},
    Export{nullptr, function<resolve_worktree_dir_function>},
    Export{nullptr, function<set_quorbel_project_root_for_worktree_function>},
    Export{nullptr, function<register_binding_function>},
    Export{nullptr, function<load_binding_function>},
    Export{nullptr, function<list_bindings_function>},
    Export{nullptr, function<remove_binding_function>},
    Export{nullptr, function<recover_binding_function>},
    Export{nullptr, function<validate_binding_function>},
    Export{nullptr, function<validate_current_binding_function>},
    Export{nullptr, function<resolve_git_worktree_function>},
    Export{nullptr, function<is_main_worktree_function>},
    Export{nullptr, function<validate_main_worktree_function>},
    Export{nullptr, function<record_event_function>},
    Export{nullptr, function<read_records_function>},
    Export{nullptr, function<reap_rotation_sentinel_function>},
    Export{nullptr, function<list_worktrees_function>},
    Export{nullptr, function<resolve_github_policy_function>},
    Export{nullptr, function<resolve_main_branches_function>},
    Export{nullptr, function<worktree_identity_env_vars_py_function>},
    Export{nullptr, function<worktree_runtime_env_vars_py_function>},
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

int exec_module(PyObject* module) {
  // The slot below refuses interpreters that check their extensions; a
  // legacy subinterpreter does not check, so the module refuses it itself.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "module _worktree_runtime_native does not support loading in subinterpreters");
    return -1;
  }
  for (const Export& entry : kExports) {
    PyRef value = entry.build(module);
    if (!value) return -1;
    PyRef name = entry.name != nullptr ? PyRef::steal(PyUnicode_InternFromString(entry.name))
                                       : PyRef::steal(PyObject_GetAttrString(value.get(), "__name__"));
    if (!name || !add_export(module, name.get(), value.get())) return -1;
  }
  return 0;
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
