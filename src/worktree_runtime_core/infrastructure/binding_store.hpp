#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "infrastructure/binding.hpp"
#include "support/core_error.hpp"

namespace worktree_runtime::infrastructure {

// The bindings.json of one repository, below its main worktree. Holds no
// bindings: every operation reads the file afresh; every change replaces it.
struct WorktreeBindingStore {
  std::string root;
  std::string path;
};

// The binding document as read. `replaceable` is false when the file exists
// but could not be read (no permission, an I/O error): writing then would
// destroy every other session's binding.
struct BindingDocument {
  nlohmann::json value;
  bool replaceable = true;
};

// The store of the main worktree of the repository that `repo_root` is in.
WorktreeBindingStore open_binding_store(std::string_view repo_root);

// The document at `path`; the default document (no bindings) for a missing,
// unreadable or malformed file. Never fails.
BindingDocument read_binding_document(const std::string& path);

// Replaces the file at `path` with `document` atomically and durably: a new
// temporary file beside it, flushed, renamed over it, the directory flushed.
// Nothing is left behind on failure.
std::optional<support::CoreError> write_binding_document(const std::string& path, const nlohmann::json& document);

// The whole file text of `document`: keys sorted, two-space indentation,
// one final line feed.
std::string render_binding_document(const nlohmann::json& document);

std::optional<WorktreeBinding> load(const WorktreeBindingStore& store, std::string_view session_id);
std::vector<WorktreeBinding> list(const WorktreeBindingStore& store);
// Replaces every entry of the binding's session by one entry at the end.
void upsert(const WorktreeBindingStore& store, const WorktreeBinding& binding);
// Takes out the first entry of the session and returns it when it is valid.
std::optional<WorktreeBinding> remove(const WorktreeBindingStore& store, std::string_view session_id);

}  // namespace worktree_runtime::infrastructure
