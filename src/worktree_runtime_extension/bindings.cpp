// Worktree bindings: the record, the store, validation and the registry.
#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "areas.hpp"
#include "argument_kinds.hpp"
#include "bindings/binding.hpp"
#include "bindings/binding_registry.hpp"
#include "bindings/binding_store.hpp"
#include "bindings/binding_validation.hpp"
#include "record_class.hpp"
#include "result_kinds.hpp"

namespace worktree_runtime::python {
namespace {

using bindings::BindingValidationOptions;
using bindings::BindingValidationResult;
using bindings::WorktreeBinding;
using bindings::WorktreeBindingStore;

// ---------------------------------------------------------------------------
// PyWorktreeBinding

// The dict form of a binding, keys in declared order.
struct AsBindingDict {
  static PyObject* convert(const WorktreeBinding& binding) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, text, required] : bindings::binding_text_fields(binding)) {
      PyRef value = PyRef::steal(AsText::convert(*text));
      if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
    }
    PyRef version = PyRef::steal(AsInteger::convert(bindings::kCurrentSchemaVersion));
    if (!version || PyDict_SetItemString(dict.get(), "schema_version", version.get()) < 0) return nullptr;
    return dict.release();
  }
};

constexpr FixedString kConstructBindingSignature =
    "PyWorktreeBinding(session_id, worktree, branch, state_path, git_common_dir, main_worktree, commit_ish=\"\", "
    "schema_version=None)";
WorktreeBinding construct_binding(Text session_id, Text worktree, Text branch, Text state_path, Text git_common_dir,
                                  Text main_worktree, Text commit_ish, OptionalInteger schema_version) {
  return bindings::build_binding(session_id.value, worktree.value, branch.value, state_path.value, git_common_dir.value,
                                 main_worktree.value, commit_ish.value, schema_version.value);
}

// The dict form is made from the record itself.
constexpr FixedString kToDictSignature = "to_dict($self)";
const WorktreeBinding& to_dict(const WorktreeBinding& binding) { return binding; }

constexpr FixedString kFromDictSignature = "from_dict($cls, payload)";
support::Result<WorktreeBinding> from_dict(JsonPayload payload) {
  return bindings::binding_from_json_text(payload.text);
}

struct WorktreeBindingClass {
  using Record = WorktreeBinding;
  static constexpr const char* kName = "worktree_runtime.api.PyWorktreeBinding";
  using Constructor = ClassConstructor<kConstructBindingSignature, &construct_binding>;
  static inline PyGetSetDef getters[] = {
      field_getter<&WorktreeBinding::session_id, AsText>("session_id"),
      field_getter<&WorktreeBinding::worktree, AsText>("worktree"),
      field_getter<&WorktreeBinding::branch, AsText>("branch"),
      field_getter<&WorktreeBinding::state_path, AsText>("state_path"),
      field_getter<&WorktreeBinding::git_common_dir, AsText>("git_common_dir"),
      field_getter<&WorktreeBinding::main_worktree, AsText>("main_worktree"),
      field_getter<&WorktreeBinding::commit_ish, AsText>("commit_ish"),
      field_getter<&WorktreeBinding::schema_version, AsInteger>("schema_version"),
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<kToDictSignature, &to_dict, AsBindingDict>(),
      class_method<kFromDictSignature, &from_dict, CoreErrorOr<AsInstance<WorktreeBindingClass>>>(),
      {},
  };
  static std::string repr_text(PyObject* self) {
    const WorktreeBinding& binding = record_of<WorktreeBinding>(self);
    return "WorktreeBinding(session_id=" + binding.session_id + ", branch=" + binding.branch + ")";
  }
};

// ---------------------------------------------------------------------------
// PyBindingValidationOptions and PyBindingValidationResult

constexpr FixedString kConstructOptionsSignature =
    "PyBindingValidationOptions(require_env_worktree=False, require_git_state=False)";
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
        return AsFlag::convert(
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
  using Constructor = ClassConstructor<kConstructOptionsSignature, &construct_options>;
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
      field_getter<&BindingValidationResult::ok, AsFlag>("ok"),
      field_getter<&BindingValidationResult::reason_code, AsText>("reason_code"),
      field_getter<&BindingValidationResult::message, AsText>("message"),
      field_getter<&BindingValidationResult::binding, NoneOr<AsInstance<WorktreeBindingClass>>>("binding"),
      {},
  };
};

// ---------------------------------------------------------------------------
// PyWorktreeBindingStore

constexpr FixedString kConstructStoreSignature = "PyWorktreeBindingStore(*, repo_root)";
WorktreeBindingStore construct_store(PathLikeText repo_root) { return bindings::open_binding_store(repo_root.value); }

constexpr FixedString kStoreLoadSignature = "load($self, session_id)";
std::optional<WorktreeBinding> store_load(const WorktreeBindingStore& store, Text session_id) {
  return bindings::load(store, session_id.value);
}

constexpr FixedString kStoreUpsertSignature = "upsert($self, binding)";
void store_upsert(const WorktreeBindingStore& store, Instance<WorktreeBindingClass> binding) {
  bindings::upsert(store, bindings::rebuild_binding(*binding.record));
}

constexpr FixedString kStoreListSignature = "list($self)";
std::vector<WorktreeBinding> store_list(const WorktreeBindingStore& store) { return bindings::list(store); }

constexpr FixedString kStoreRemoveSignature = "remove($self, session_id)";
std::optional<WorktreeBinding> store_remove(const WorktreeBindingStore& store, Text session_id) {
  return bindings::remove(store, session_id.value);
}

struct WorktreeBindingStoreClass {
  using Record = WorktreeBindingStore;
  static constexpr const char* kName = "worktree_runtime.api.PyWorktreeBindingStore";
  using Constructor = ClassConstructor<kConstructStoreSignature, &construct_store>;
  static inline PyGetSetDef getters[] = {
      field_getter<&WorktreeBindingStore::root, AsText>("repo_root"),
      field_getter<&WorktreeBindingStore::path, AsText>("path"),
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<kStoreLoadSignature, &store_load, NoneOr<AsInstance<WorktreeBindingClass>>>(),
      record_method<kStoreUpsertSignature, &store_upsert, AsNone>(),
      record_method<kStoreListSignature, &store_list, ListOf<AsInstance<WorktreeBindingClass>>>(),
      record_method<kStoreRemoveSignature, &store_remove, NoneOr<AsInstance<WorktreeBindingClass>>>(),
      {},
  };
};

// ---------------------------------------------------------------------------
// Module functions

constexpr FixedString kRegisterBindingSignature =
    "register_binding(*, session_id, worktree_path, branch, repo_root, state_path=None, source_ref=\"\")";
support::Result<WorktreeBinding> register_binding(Text session_id, Text worktree_path, Text branch, Text repo_root,
                                                  OptionalText state_path, Text source_ref) {
  return bindings::register_binding(session_id.value, worktree_path.value, branch.value, repo_root.value,
                                    state_path.value, source_ref.value);
}

constexpr FixedString kLoadBindingSignature = "load_binding(session_id, repo_root)";
std::optional<WorktreeBinding> load_binding(Text session_id, Text repo_root) {
  return bindings::load_binding(session_id.value, repo_root.value);
}

constexpr FixedString kListBindingsSignature = "list_bindings(repo_root)";
std::vector<WorktreeBinding> list_bindings(Text repo_root) { return bindings::list_bindings(repo_root.value); }

constexpr FixedString kRemoveBindingSignature = "remove_binding(session_id, repo_root)";
std::optional<WorktreeBinding> remove_binding(Text session_id, Text repo_root) {
  return bindings::remove_binding(session_id.value, repo_root.value);
}

constexpr FixedString kRecoverBindingSignature = "recover_binding(session_id, repo_root)";
std::optional<WorktreeBinding> recover_binding(Text session_id, Text repo_root) {
  return bindings::recover_binding(session_id.value, repo_root.value);
}

constexpr FixedString kValidateBindingSignature =
    "validate_binding(binding, *, cwd=None, env=None, check_git=True, options=None)";
BindingValidationResult validate_binding(Instance<WorktreeBindingClass> binding, OptionalText cwd, EnvMapping env,
                                         Flag check_git, OptionalInstance<BindingValidationOptionsClass> options) {
  return bindings::validate_binding(bindings::rebuild_binding(*binding.record), cwd.value, env.value, check_git.value,
                                    options.record ? current_options(*options.record) : BindingValidationOptions{});
}

constexpr FixedString kValidateCurrentBindingSignature =
    "validate_current_binding(*, repo_root, session_id, cwd, env=None, check_git=False, "
    "require_registered_binding=True, require_env_worktree=False, require_git_state=False)";
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

// ---------------------------------------------------------------------------
// The names this area exports

constexpr Export kEntries[] = {
    constant<"CURRENT_SCHEMA_VERSION", bindings::kCurrentSchemaVersion, AsInteger>(),

    record_class<WorktreeBindingClass>(),
    record_class<BindingValidationResultClass>(),
    record_class<BindingValidationOptionsClass>(),
    record_class<WorktreeBindingStoreClass>(),

    function<kRegisterBindingSignature, &register_binding, CoreErrorOr<AsInstance<WorktreeBindingClass>>>(),
    function<kLoadBindingSignature, &load_binding, NoneOr<AsInstance<WorktreeBindingClass>>>(),
    function<kListBindingsSignature, &list_bindings, ListOf<AsInstance<WorktreeBindingClass>>>(),
    function<kRemoveBindingSignature, &remove_binding, NoneOr<AsInstance<WorktreeBindingClass>>>(),
    function<kRecoverBindingSignature, &recover_binding, NoneOr<AsInstance<WorktreeBindingClass>>>(),
    function<kValidateBindingSignature, &validate_binding, AsInstance<BindingValidationResultClass>>(),
    function<kValidateCurrentBindingSignature, &validate_current_binding, AsInstance<BindingValidationResultClass>>(),
};

}  // namespace

constinit const ExportTable bindings_exports::entries = kEntries;

}  // namespace worktree_runtime::python
