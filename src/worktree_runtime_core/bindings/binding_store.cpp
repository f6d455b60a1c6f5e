#include "bindings/binding_store.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "locations/file_names.hpp"
#include "paths/paths.hpp"
#include "platform/file_system.hpp"
#include "support/input_limits.hpp"
#include "support/json_document.hpp"
#include "support/json_tree.hpp"
#include "support/text.hpp"

namespace worktree_runtime::bindings {
namespace {

using nlohmann::json;

constexpr std::size_t kTemporaryNameAttempts = 65536;

using platform::Directory;
using platform::FileSystem;
using platform::SystemResult;

// A writer killed between creating its temporary file and renaming it leaves
// the file behind. Whoever holds the store's lock owns every temporary file
// there: no other writer can be inside its write.
void remove_stale_temporary_files(const FileSystem& files, const Directory& directory) {
  const SystemResult<std::vector<platform::DirectoryEntry>> entries = files.list(directory);
  if (!entries) return;
  for (const platform::DirectoryEntry& entry : *entries) {
    if (locations::is_temporary_file_name(entry.name)) (void)files.remove_file(directory, entry.name);
  }
}

// Built member by member: nlohmann's initializer lists free the pairs they are
// made of, which allocates.
support::JsonTree default_document() {
  support::JsonTree document(json::object());
  (*document)["bindings"] = json::array();
  (*document)["schema_version"] = kCurrentSchemaVersion;
  return document;
}

// Takes out every entry that `matches`, keeping the others in order. The
// entries taken out are dismantled first: erasing assigns over them, and
// freeing a container whole allocates.
template <class Matches>
void erase_entries(json::array_t& entries, Matches matches) {
  auto kept = entries.begin();
  for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
    if (matches(*entry)) continue;
    std::swap(*kept, *entry);
    ++kept;
  }
  for (auto entry = kept; entry != entries.end(); ++entry) support::dismantle(*entry);
  entries.erase(kept, entries.end());
}

SystemResult<Directory> open_store_directory(const FileSystem& files, const WorktreeBindingStore& store,
                                             Directory::Missing missing) {
  return files.open_beneath(store.root, store.relative_directory, missing);
}

// The document a read of the store file gives; see BindingDocument for when
// it may be replaced. A missing file may: it holds nothing to lose.
BindingDocument document_of(const platform::FileContent& content) {
  if (content.status != platform::FileContent::Status::read) {
    return {default_document(), content.status == platform::FileContent::Status::missing};
  }
  return binding_document_from_text(content.bytes);
}

platform::FileContent read_store_file(const WorktreeBindingStore& store) {
  return Directory::read_file_beneath(store.root, paths::join_path(store.relative_directory, locations::kStoreFileName),
                                      support::kJsonDocumentByteLimit);
}

// Replaces the store file in `directory` with `document` atomically and
// durably: a new temporary file beside it, flushed, renamed over it, the
// directory flushed. Nothing is left behind on failure.
std::optional<support::CoreError> write_binding_document(const FileSystem& files, const Directory& directory,
                                                         const json& document) {
  const std::optional<std::string> text = render_binding_document(document);
  if (!text) return support::CoreError{"the document would pass a bound of its readers", {}};
  std::string temporary;
  std::optional<platform::UniqueFd> file;
  for (std::size_t attempt = 0; attempt < kTemporaryNameAttempts && !file; ++attempt) {
    temporary = locations::temporary_file_name();
    SystemResult<platform::UniqueFd> created = files.create_exclusive(directory, temporary);
    if (created) {
      file = std::move(*created);
    } else if (created.error().number != EEXIST) {
      return support::CoreError{"cannot create " + paths::join_path(directory.path(), temporary), {}};
    }
  }
  if (!file) return support::CoreError{"too many temporary files exist", {}};
  if (!files.write_all(*file, *text) || !files.sync(*file) ||
      !files.rename_replacing(directory, temporary, locations::kStoreFileName)) {
    (void)files.remove_file(directory, temporary);
    return support::CoreError{"cannot replace " + paths::join_path(directory.path(), locations::kStoreFileName), {}};
  }
  (void)files.sync_directory(directory);
  return std::nullopt;
}

bool matches_session(const json& entry, std::string_view session_id) {
  if (!entry.is_object()) return false;
  const auto found = entry.find("session_id");
  return found != entry.end() && found->is_string() && found->get_ref<const std::string&>() == session_id;
}

// Runs `change` on the document of the store in `directory` under the
// store's cross-process lock, and writes the document back when `change` says
// so and the file may be replaced. Without the lock nothing is written: the
// change could undo another session's. Returns what `change` returns.
template <class Change>
auto change_document(const FileSystem& files, const Directory& directory, Change change) {
  // The lock lives beside the store so that the store file itself can be
  // replaced by rename while the lock is held.
  const SystemResult<platform::FileLock> lock = files.lock_file(directory, locations::kStoreLockName);
  if (lock) remove_stale_temporary_files(files, directory);
  BindingDocument document =
      document_of(files.read_file(directory, locations::kStoreFileName, support::kJsonDocumentByteLimit));
  auto [write, result] = change(*document.value);
  if (write && document.replaceable && lock) {
    json& version = (*document.value)["schema_version"];
    support::dismantle(version);  // a hostile store may hold a container there
    version = kCurrentSchemaVersion;
    // A failed write leaves the old file whole; callers are not told.
    (void)write_binding_document(files, directory, *document.value);
  }
  return result;
}

}  // namespace

WorktreeBindingStore open_binding_store(std::string_view repo_root) {
  return binding_store_of(locations::resolve_repository_context(paths::normalize_path(repo_root)));
}

WorktreeBindingStore binding_store_of(const locations::RepositoryContext& repository) {
  const std::string& root = repository.main_worktree_root;
  const std::string& relative = repository.store_relative_directory;
  return {root, paths::join_path(paths::join_path(root, relative), locations::kStoreFileName), relative};
}

BindingDocument binding_document_from_text(std::string_view text) {
  support::Result<json> read = support::read_json_document(text);
  if (!read.ok()) return {default_document(), read.error().reason_code != support::kJsonPastBoundReason};
  support::JsonTree document(std::move(read.value()));
  if (!document->is_object()) return {default_document(), true};
  if (json& bindings = (*document)["bindings"]; !bindings.is_array()) {
    support::dismantle(bindings);
    bindings = json::array();
  }
  return {std::move(document), true};
}

std::optional<std::string> render_binding_document(const json& document) {
  std::optional<std::string> text = support::render_json_indented(document, support::kJsonDocumentByteLimit - 1);
  if (text) *text += '\n';
  return text;
}

std::optional<WorktreeBinding> first_binding_of_session(const json& document, std::string_view session_id) {
  for (const json& entry : document["bindings"]) {
    if (!matches_session(entry, session_id)) continue;
    support::Result<WorktreeBinding> binding = binding_from_json(entry);
    if (!binding.ok()) return std::nullopt;
    return std::move(binding.value());
  }
  return std::nullopt;
}

std::optional<std::optional<WorktreeBinding>> scan_binding_of_session(std::string_view text,
                                                                      std::string_view session_id) {
  // A document that starts with a byte order mark is malformed, but simdjson
  // would look past the mark.
  if (text.starts_with(support::kByteOrderMark)) return std::nullopt;
  simdjson::dom::parser parser;
  simdjson::dom::object document;
  if (parser.parse(text).get_object().get(document) != simdjson::SUCCESS) return std::nullopt;
  std::optional<simdjson::dom::array> bindings;
  for (const auto field : document) {
    if (field.key == "bindings") {
      simdjson::dom::array array;
      bindings = field.value.get_array().get(array) == simdjson::SUCCESS ? std::optional(array) : std::nullopt;
    }
  }
  if (!bindings) return std::optional<WorktreeBinding>();
  for (const simdjson::dom::element entry : *bindings) {
    simdjson::dom::object entry_object;
    if (entry.get_object().get(entry_object) != simdjson::SUCCESS) continue;
    std::optional<std::string_view> entry_session;
    for (const auto field : entry_object) {
      if (field.key == "session_id") {
        std::string_view value;
        entry_session = field.value.get_string().get(value) == simdjson::SUCCESS ? std::optional(value) : std::nullopt;
      }
    }
    if (entry_session != session_id) continue;
    const std::optional<support::JsonTree> entry_value = support::parse_json(simdjson::minify(entry));
    if (!entry_value) return std::nullopt;
    support::Result<WorktreeBinding> binding = binding_from_json(**entry_value);
    if (!binding.ok()) return std::optional<WorktreeBinding>();
    return std::optional(std::move(binding.value()));
  }
  return std::optional<WorktreeBinding>();
}

std::optional<WorktreeBinding> binding_of_session_in_text(std::string_view text, std::string_view session_id) {
  // A document that simdjson reads nests no deeper than its 1,024 levels, and
  // holds at most one value per two bytes: only a longer text can pass a bound
  // of the full reader, which then decides.
  if (text.size() <= 2 * support::kMaxJsonDocumentValues) {
    if (std::optional<std::optional<WorktreeBinding>> scanned = scan_binding_of_session(text, session_id)) {
      return std::move(*scanned);
    }
  }
  const BindingDocument document = binding_document_from_text(text);
  return first_binding_of_session(*document.value, session_id);
}

std::optional<WorktreeBinding> load(const WorktreeBindingStore& store, std::string_view session_id) {
  const platform::FileContent content = read_store_file(store);
  if (content.status != platform::FileContent::Status::read) return std::nullopt;
  return binding_of_session_in_text(content.bytes, session_id);
}

std::vector<WorktreeBinding> list(const WorktreeBindingStore& store) {
  const BindingDocument document = document_of(read_store_file(store));
  std::vector<WorktreeBinding> bindings;
  for (const json& entry : (*document.value)["bindings"]) {
    support::Result<WorktreeBinding> binding = binding_from_json(entry);
    if (binding.ok()) bindings.push_back(std::move(binding.value()));
  }
  return bindings;
}

void upsert(const WorktreeBindingStore& store, const WorktreeBinding& binding, const FileSystem& files) {
  // The folders are made on the way, so that the lock has its place.
  const SystemResult<Directory> directory = open_store_directory(files, store, Directory::Missing::create);
  if (!directory) return;
  change_document(files, *directory, [&](json& document) {
    json::array_t& entries = document["bindings"].get_ref<json::array_t&>();
    erase_entries(entries, [&](const json& entry) { return matches_session(entry, binding.session_id); });
    support::JsonTree entry(binding_to_json(binding));
    entries.push_back(std::move(*entry));
    return std::pair{true, 0};
  });
}

std::optional<WorktreeBinding> remove(const WorktreeBindingStore& store, std::string_view session_id,
                                      const FileSystem& files) {
  const SystemResult<Directory> directory = open_store_directory(files, store, Directory::Missing::fail);
  if (!directory || !directory->status(locations::kStoreFileName)) return std::nullopt;
  return change_document(files, *directory, [&](json& document) -> std::pair<bool, std::optional<WorktreeBinding>> {
    json::array_t& entries = document["bindings"].get_ref<json::array_t&>();
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const json& entry) { return matches_session(entry, session_id); });
    if (found == entries.end()) return {false, std::nullopt};
    support::Result<WorktreeBinding> removed = binding_from_json(*found);
    support::dismantle(*found);
    entries.erase(found);
    if (!removed.ok()) return {true, std::nullopt};
    return {true, std::move(removed.value())};
  });
}

}  // namespace worktree_runtime::bindings
