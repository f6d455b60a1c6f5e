#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "support/core_error.hpp"

namespace worktree_runtime::bindings {

// The schema version that binding records carry unless told otherwise, and
// that every JSON form of a binding is written with.
inline constexpr std::int64_t kCurrentSchemaVersion = 2;

// One work session bound to one worktree. The four path fields are always
// normalised; the other texts are kept as given.
struct WorktreeBinding {
  std::string session_id;
  std::string worktree;
  std::string branch;
  std::string state_path;
  std::string git_common_dir;
  std::string main_worktree;
  std::string commit_ish;
  std::int64_t schema_version = kCurrentSchemaVersion;
};

// The one way every binding is made: normalises the four path fields.
WorktreeBinding build_binding(std::string_view session_id, std::string_view worktree, std::string_view branch,
                              std::string_view state_path, std::string_view git_common_dir,
                              std::string_view main_worktree, std::string_view commit_ish,
                              std::optional<std::int64_t> schema_version);

// A binding handed back in: built again, so its path fields are normalised anew.
WorktreeBinding rebuild_binding(const WorktreeBinding& binding);

// The seven text fields with their keys, in declared order; the JSON and the
// dict forms add "schema_version", always 2. A required field must hold
// something besides white space.
struct BindingTextField {
  const char* key;
  const std::string* value;
  bool required;
};
std::array<BindingTextField, 7> binding_text_fields(const WorktreeBinding& binding);

// The key of the first required field that is blank (empty or white space
// only): a binding with one is unreadable in the store, and never stored.
std::optional<std::string_view> first_missing_field(const WorktreeBinding& binding);

// "missing required worktree binding field: <key>".
support::CoreError missing_field_error(std::string_view key);

// The JSON object form, always with "schema_version" 2; the caller's to hold
// in a support::JsonTree.
nlohmann::json binding_to_json(const WorktreeBinding& binding);

// Reads a binding from its JSON object form, accepting the older key names
// "worktree_path", "repo_root" and "source_ref".
support::Result<WorktreeBinding> binding_from_json(const nlohmann::json& value);

// `support::read_json_document`, then `binding_from_json`; a parse error reads
// "invalid payload: " and its description.
support::Result<WorktreeBinding> binding_from_json_text(std::string_view text);

}  // namespace worktree_runtime::bindings
