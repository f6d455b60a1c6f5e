#include "bindings/binding.hpp"

#include "paths/paths.hpp"
#include "support/json.hpp"
#include "support/json_document.hpp"
#include "support/json_tree.hpp"
#include "support/text.hpp"

namespace worktree_runtime::bindings {
namespace {

using nlohmann::json;

// The member `preferred` when present (whatever its value), else `fallback`.
std::string_view chosen_key(const json& object, std::string_view preferred, std::string_view fallback) {
  return object.contains(preferred) ? preferred : fallback;
}

// A text member kept whole; empty when it is absent or not a string.
std::string_view text_member(const json& object, std::string_view key) {
  const std::string* text = support::string_member(object, key);
  return text != nullptr ? std::string_view(*text) : std::string_view();
}

std::int64_t schema_version_member(const json& object) {
  const auto found = object.find("schema_version");
  if (found == object.end()) return kCurrentSchemaVersion;
  if (found->is_number_integer() && !found->is_number_unsigned()) return found->get<std::int64_t>();
  if (found->is_number_unsigned() && found->get<std::uint64_t>() <= INT64_MAX) {
    return static_cast<std::int64_t>(found->get<std::uint64_t>());
  }
  return kCurrentSchemaVersion;
}

}  // namespace

WorktreeBinding build_binding(std::string_view session_id, std::string_view worktree, std::string_view branch,
                              std::string_view state_path, std::string_view git_common_dir,
                              std::string_view main_worktree, std::string_view commit_ish,
                              std::optional<std::int64_t> schema_version) {
  return {std::string(session_id),
          paths::normalize_path(worktree),
          std::string(branch),
          paths::normalize_path(state_path),
          paths::normalize_path(git_common_dir),
          paths::normalize_path(main_worktree),
          std::string(commit_ish),
          schema_version.value_or(kCurrentSchemaVersion)};
}

WorktreeBinding rebuild_binding(const WorktreeBinding& binding) {
  return build_binding(binding.session_id, binding.worktree, binding.branch, binding.state_path, binding.git_common_dir,
                       binding.main_worktree, binding.commit_ish, binding.schema_version);
}

std::array<BindingTextField, 7> binding_text_fields(const WorktreeBinding& binding) {
  return {{
      {"session_id", &binding.session_id, true},
      {"worktree", &binding.worktree, true},
      {"branch", &binding.branch, true},
      {"state_path", &binding.state_path, true},
      {"git_common_dir", &binding.git_common_dir, false},
      {"main_worktree", &binding.main_worktree, true},
      {"commit_ish", &binding.commit_ish, false},
  }};
}

std::optional<std::string_view> first_missing_field(const WorktreeBinding& binding) {
  for (const BindingTextField& field : binding_text_fields(binding)) {
    if (field.required && support::is_blank(*field.value)) return field.key;
  }
  return std::nullopt;
}

support::CoreError missing_field_error(std::string_view key) {
  return {"missing required worktree binding field: " + std::string(key), {}};
}

json binding_to_json(const WorktreeBinding& binding) {
  support::JsonTree object(json::object());
  for (const auto& [key, value, required] : binding_text_fields(binding)) (*object)[key] = *value;
  (*object)["schema_version"] = kCurrentSchemaVersion;
  return std::move(*object);
}

support::Result<WorktreeBinding> binding_from_json(const json& value) {
  if (!value.is_object()) return support::CoreError{"worktree binding payload must be an object", {}};
  // Older stores name three fields differently; a message names the key the
  // entry used.
  const std::string_view worktree_key = chosen_key(value, "worktree", "worktree_path");
  const std::string_view main_worktree_key = chosen_key(value, "main_worktree", "repo_root");
  const std::string_view commit_ish_key = chosen_key(value, "commit_ish", "source_ref");
  const WorktreeBinding stored{
      std::string(text_member(value, "session_id")),     std::string(text_member(value, worktree_key)),
      std::string(text_member(value, "branch")),         std::string(text_member(value, "state_path")),
      std::string(text_member(value, "git_common_dir")), std::string(text_member(value, main_worktree_key)),
      std::string(text_member(value, commit_ish_key)),   schema_version_member(value)};
  if (const std::optional<std::string_view> missing = first_missing_field(stored)) {
    if (*missing == "worktree") return missing_field_error(worktree_key);
    if (*missing == "main_worktree") return missing_field_error(main_worktree_key);
    return missing_field_error(*missing);
  }
  return rebuild_binding(stored);
}

support::Result<WorktreeBinding> binding_from_json_text(std::string_view text) {
  support::Result<json> parsed = support::read_json_document(text);
  if (!parsed.ok()) return support::CoreError{"invalid payload: " + parsed.error().message, {}};
  const support::JsonTree payload(std::move(parsed.value()));
  return binding_from_json(*payload);
}

}  // namespace worktree_runtime::bindings
