#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/binding.hpp"
#include "locations/repository_context.hpp"
#include "platform/file_system.hpp"
#include "support/core_error.hpp"
#include "support/json_tree.hpp"

namespace worktree_runtime::bindings {

// The bindings.json of one repository, below its main worktree. Holds no
// bindings: every operation reads the file afresh; every change replaces it.
struct WorktreeBindingStore {
  std::string root;
  std::string path;
  // The folder of `path` below `root`. The store, its lock and its temporary
  // files are reached from the root without following a symbolic link: a
  // repository's committed files never steer them elsewhere.
  std::string relative_directory;
};

// The binding document as read. `replaceable` is false when the file exists
// but could not be read (no permission, an I/O error, a symbolic link, past
// a bound): writing then would destroy every other session's binding.
struct BindingDocument {
  support::JsonTree value;
  bool replaceable = true;
};

// The store of the main worktree of the repository that `repo_root` is in.
WorktreeBindingStore open_binding_store(std::string_view repo_root);
// The store of a repository whose context the caller has worked out.
WorktreeBindingStore binding_store_of(const locations::RepositoryContext& repository);

// The document that `text` holds; the default document when `text` is not a
// JSON object, and then not replaceable when it passes a bound of its
// readers; "bindings" made an empty array when it is not an array.
BindingDocument binding_document_from_text(std::string_view text);

// The whole file text of `document`: keys sorted, two-space indentation,
// one final line feed. Nothing when it would pass a bound of the store's
// readers: a document written must read back.
std::optional<std::string> render_binding_document(const nlohmann::json& document);

// The binding of the first entry of `session_id`, when that entry is a valid
// binding; later entries of the session are not consulted.
std::optional<WorktreeBinding> first_binding_of_session(const nlohmann::json& document, std::string_view session_id);

// `first_binding_of_session` of the document in `text`, found by simdjson
// without building the document. Every document simdjson accepts, the full
// reader reads the same way; for any other (deeper than simdjson reads, a
// number out of its range, a byte order mark) this gives nothing and the
// caller asks the full reader.
std::optional<std::optional<WorktreeBinding>> scan_binding_of_session(std::string_view text,
                                                                      std::string_view session_id);

// What `load` finds in a store's text: the scan where it decides, else the
// full reading; nothing in a text past a bound.
std::optional<WorktreeBinding> binding_of_session_in_text(std::string_view text, std::string_view session_id);

std::optional<WorktreeBinding> load(const WorktreeBindingStore& store, std::string_view session_id);
std::vector<WorktreeBinding> list(const WorktreeBindingStore& store);
// Replaces every entry of the binding's session by one entry at the end.
// A step that fails leaves the store file as it was; the caller is not told.
void upsert(const WorktreeBindingStore& store, const WorktreeBinding& binding,
            const platform::FileSystem& files = platform::FileSystem());
// Takes out the first entry of the session and returns it when it is valid.
std::optional<WorktreeBinding> remove(const WorktreeBindingStore& store, std::string_view session_id,
                                      const platform::FileSystem& files = platform::FileSystem());

}  // namespace worktree_runtime::bindings
