#include "bindings.hpp"

#include <atomic>

#include "bindings/binding.hpp"
#include "bindings/binding_registry.hpp"
#include "bindings/binding_store.hpp"
#include "bindings/binding_validation.hpp"
#include "convert.hpp"
#include "record_class.hpp"

namespace worktree_runtime::python {

using bindings::BindingValidationOptions;
using bindings::BindingValidationResult;
using bindings::WorktreeBinding;
using bindings::WorktreeBindingStore;

namespace {
struct WorktreeBindingClass;
struct BindingValidationResultClass;
struct BindingValidationOptionsClass;
struct WorktreeBindingStoreClass;
}  // namespace

template <>
struct ClassOf<WorktreeBinding> {
  using type = WorktreeBindingClass;
};
template <>
struct ClassOf<BindingValidationResult> {
  using type = BindingValidationResultClass;
};
template <>
struct ClassOf<BindingValidationOptions> {
  using type = BindingValidationOptionsClass;
};
template <>
struct ClassOf<WorktreeBindingStore> {
  using type = WorktreeBindingStoreClass;
};

namespace {

// ---------------------------------------------------------------------------
// PyWorktreeBinding

// The dict form of a binding, keys in declared order.
struct BindingDict {
  const WorktreeBinding& binding;
};

PyObject* to_python(BindingDict form) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, text] : bindings::binding_text_fields(form.binding)) {
    PyRef value = PyRef::steal(python::to_python(std::string_view(*text)));
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  PyRef version = PyRef::steal(python::to_python(bindings::kCurrentSchemaVersion));
  if (!version || PyDict_SetItemString(dict.get(), "schema_version", version.get()) < 0) return nullptr;
  return dict.release();
}

WorktreeBinding construct_binding(Text session_id, Text worktree, Text branch, Text state_path, Text git_common_dir,
                                  Text main_worktree, Text commit_ish, OptionalInteger schema_version) {
  return bindings::build_binding(session_id.value, worktree.value, branch.value, state_path.value, git_common_dir.value,
                                 main_worktree.value, commit_ish.value, schema_version.value);
}

BindingDict to_dict(const WorktreeBinding& binding) { return {binding}; }

support::Result<WorktreeBinding> from_dict(JsonPayload payload) {
  return bindings::binding_from_json_text(payload.text);
}

struct WorktreeBindingClass {
  using Record = WorktreeBinding;
  static constexpr const char* kName = "worktree_runtime.api.PyWorktreeBinding";
  using Constructor = ClassConstructor<
      "PyWorktreeBinding(session_id, worktree, branch, state_path, git_common_dir, main_worktree, "
      "commit_ish=\"\", schema_version=None)",
      &construct_binding>;
  static inline PyGetSetDef getters[] = {
      field_getter<&WorktreeBinding::session_id>("session_id"),
      field_getter<&WorktreeBinding::worktree>("worktree"),
      field_getter<&WorktreeBinding::branch>("branch"),
      field_getter<&WorktreeBinding::state_path>("state_path"),
      field_getter<&WorktreeBinding::git_common_dir>("git_common_dir"),
      field_getter<&WorktreeBinding::main_worktree>("main_worktree"),
      field_getter<&WorktreeBinding::commit_ish>("commit_ish"),
      field_getter<&WorktreeBinding::schema_version>("schema_version"),
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<"to_dict($self)", &to_dict>(),
      class_method<"from_dict($cls, payload)", &from_dict>(),
      {},
  };
  static std::string repr_text(PyObject* self) {
    const WorktreeBinding& binding = record_of<WorktreeBinding>(self);
    return "WorktreeBinding(session_id=" + binding.session_id + ", branch=" + binding.branch + ")";
  }
};

// ---------------------------------------------------------------------------
// PyBindingValidationOptions and PyBindingValidationResult

BindingValidationOptions construct_options(Flag require_env_worktree, Flag require_git_state) {
  return {require_env_worktree.value, require_git_state.value};
}

// A flag may be set in one thread while another validates with it: each one
// is read and written whole, through an atomic reference, with no lock held.
// (The instance's record is only ever changed through these flags.)
std::atomic_ref<bool> shared_flag(const bool& flag) { return std::atomic_ref<bool>(const_cast<bool&>(flag)); }

BindingValidationOptions current_options(const BindingValidationOptions& options) {
  return {shared_flag(options.require_env_worktree).load(std::memory_order_relaxed),
          shared_flag(options.require_git_state).load(std::memory_order_relaxed)};
}

// A writable flag: assignment takes a bool by the argument rules; deletion is refused.
template <bool BindingValidationOptions::*Member>
PyGetSetDef writable_flag(const char* name) {
  return {
      name,
      [](PyObject* self, void*) -> PyObject* {
        return PyBool_FromLong(
            shared_flag(record_of<BindingValidationOptions>(self).*Member).load(std::memory_order_relaxed));
      },
      [](PyObject* self, PyObject* value, void* closure) -> int {
        return guarded([&] {
          if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            return -1;
          }
          const std::optional<Flag> flag = Flag::convert(value);
          if (!flag) {
            add_parameter_note("PyBindingValidationOptions", static_cast<const char*>(closure));
            return -1;
          }
          shared_flag(record_of<BindingValidationOptions>(self).*Member).store(flag->value, std::memory_order_relaxed);
          return 0;
        });
      },
      nullptr, const_cast<char*>(name)};
}

struct BindingValidationOptionsClass {
  using Record = BindingValidationOptions;
  static constexpr const char* kName = "worktree_runtime.api.PyBindingValidationOptions";
  using Constructor =
      ClassConstructor<"PyBindingValidationOptions(require_env_worktree=False, require_git_state=False)",
                       &construct_options>;
  static inline PyGetSetDef getters[] = {
      writable_flag<&BindingValidationOptions::require_env_worktree>("require_env_worktree"),
      writable_flag<&BindingValidationOptions::require_git_state>("require_git_state"),
      {},
  };
};

struct BindingValidationResultClass {
  using Record = BindingValidationResult;
  static constexpr const char* kName = "worktree_runtime.api.PyBindingValidationResult";
  static inline PyGetSetDef getters[] = {
      field_getter<&BindingValidationResult::ok>("ok"),
      field_getter<&BindingValidationResult::reason_code>("reason_code"),
      field_getter<&BindingValidationResult::message>("message"),
      field_getter<&BindingValidationResult::binding>("binding"),
      {},
  };
};

// ---------------------------------------------------------------------------
// PyWorktreeBindingStore

WorktreeBindingStore construct_store(PathLikeText repo_root) { return bindings::open_binding_store(repo_root.value); }

std::optional<WorktreeBinding> store_load(const WorktreeBindingStore& store, Text session_id) {
  return bindings::load(store, session_id.value);
}

std::monostate store_upsert(const WorktreeBindingStore& store, Instance<WorktreeBinding> binding) {
  bindings::upsert(store, bindings::rebuild_binding(*binding.record));
  return {};
}

std::vector<WorktreeBinding> store_list(const WorktreeBindingStore& store) { return bindings::list(store); }

std::optional<WorktreeBinding> store_remove(const WorktreeBindingStore& store, Text session_id) {
  return bindings::remove(store, session_id.value);
}

struct WorktreeBindingStoreClass {
  using Record = WorktreeBindingStore;
  static constexpr const char* kName = "worktree_runtime.api.PyWorktreeBindingStore";
  using Constructor = ClassConstructor<"PyWorktreeBindingStore(*, repo_root)", &construct_store>;
  static inline PyGetSetDef getters[] = {
      field_getter<&WorktreeBindingStore::root>("repo_root"),
      field_getter<&WorktreeBindingStore::path>("path"),
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<"load($self, session_id)", &store_load>(),
      record_method<"upsert($self, binding)", &store_upsert>(),
      record_method<"list($self)", &store_list>(),
      record_method<"remove($self, session_id)", &store_remove>(),
      {},
  };
};

// ---------------------------------------------------------------------------
// Module functions

support::Result<WorktreeBinding> register_binding(Text session_id, Text worktree_path, Text branch, Text repo_root,
                                                  OptionalText state_path, Text source_ref) {
  return bindings::register_binding(session_id.value, worktree_path.value, branch.value, repo_root.value,
                                    state_path.value, source_ref.value);
}

std::optional<WorktreeBinding> load_binding(Text session_id, Text repo_root) {
  return bindings::load_binding(session_id.value, repo_root.value);
}

std::vector<WorktreeBinding> list_bindings(Text repo_root) { return bindings::list_bindings(repo_root.value); }

std::optional<WorktreeBinding> remove_binding(Text session_id, Text repo_root) {
  return bindings::remove_binding(session_id.value, repo_root.value);
}

std::optional<WorktreeBinding> recover_binding(Text session_id, Text repo_root) {
  return bindings::recover_binding(session_id.value, repo_root.value);
}

BindingValidationResult validate_binding(Instance<WorktreeBinding> binding, OptionalText cwd, EnvMapping env,
                                         Flag check_git, OptionalInstance<BindingValidationOptions> options) {
  return bindings::validate_binding(bindings::rebuild_binding(*binding.record), cwd.value, env.value, check_git.value,
                                    options.record ? current_options(*options.record) : BindingValidationOptions{});
}

BindingValidationResult validate_current_binding(Text repo_root, OptionalText session_id, Text cwd, EnvMapping env,
                                                 Flag check_git, Flag require_registered_binding,
                                                 Flag require_env_worktree, Flag require_git_state) {
  return bindings::validate_current_binding({
      .session_id = session_id.value ? std::optional<std::string>(*session_id.value) : std::nullopt,
      .repo_root = std::string(repo_root.value),
      .cwd = std::string(cwd.value),
      .env = std::move(env.value),
      .check_git = check_git.value,
      .require_registered_binding = require_registered_binding.value,
      .require_env_worktree = require_env_worktree.value,
      .require_git_state = require_git_state.value,
  });
}

}  // namespace

PyObject* worktree_binding_class() { return class_type<WorktreeBindingClass>(); }
PyObject* binding_validation_result_class() { return class_type<BindingValidationResultClass>(); }
PyObject* binding_validation_options_class() { return class_type<BindingValidationOptionsClass>(); }
PyObject* worktree_binding_store_class() { return class_type<WorktreeBindingStoreClass>(); }

PyMethodDef register_binding_function = module_function<
    "register_binding(*, session_id, worktree_path, branch, repo_root, state_path=None, source_ref=\"\")",
    &register_binding>();
PyMethodDef load_binding_function = module_function<"load_binding(session_id, repo_root)", &load_binding>();
PyMethodDef list_bindings_function = module_function<"list_bindings(repo_root)", &list_bindings>();
PyMethodDef remove_binding_function = module_function<"remove_binding(session_id, repo_root)", &remove_binding>();
PyMethodDef recover_binding_function = module_function<"recover_binding(session_id, repo_root)", &recover_binding>();
PyMethodDef validate_binding_function =
    module_function<"validate_binding(binding, *, cwd=None, env=None, check_git=True, options=None)",
                    &validate_binding>();
PyMethodDef validate_current_binding_function = module_function<
    "validate_current_binding(*, repo_root, session_id, cwd, env=None, check_git=False, "
    "require_registered_binding=True, require_env_worktree=False, require_git_state=False)",
    &validate_current_binding>();

}  // namespace worktree_runtime::python
