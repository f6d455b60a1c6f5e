#pragma once
// Every name the module reads or writes on disk, and the parsers of the names
// it makes. Writes land only in these places: below a repository or worktree
// root, in the state directory "<state dir name>/" of the project's layout, or
// in the shared audit directory that the environment names.

#include <string>
#include <string_view>

namespace worktree_runtime::locations {

// The project's own settings, below a repository root; read, never written.
inline constexpr std::string_view kPyprojectFileName = "pyproject.toml";
inline constexpr std::string_view kWorktreeConfigPath = "config/worktree.yaml";

// The state directory's folders, below "<state dir name>/".
inline constexpr std::string_view kStoreFolder = "state/worktree-runtime";
inline constexpr std::string_view kSessionStateFolder = "state/velmorin";
inline constexpr std::string_view kProjectAuditFolder = "shared/audit";

// The audit folder below a shared directory that the environment names.
inline constexpr std::string_view kSharedAuditFolder = "audit";

// The binding store, and the lock beside it: the store itself is replaced by
// rename while the lock is held.
inline constexpr std::string_view kStoreFileName = "bindings.json";
inline constexpr std::string_view kStoreLockName = "bindings.json.lock";

// A new name for a store's temporary file: ".tmp", six random ASCII letters
// and digits, ".tmp".
std::string temporary_file_name();
// Whether `name` has the form of `temporary_file_name`'s names.
bool is_temporary_file_name(std::string_view name);

// "sessions/<session id>/metadata.json" below the session state folder: what
// a session leaves for its binding to be recovered from.
std::string session_metadata_path(std::string_view session_state_path, std::string_view session_id);

// The audit directory's active log, and the sentinel that a rotation holds.
inline constexpr std::string_view kActiveLogName = "worktree-events.ndjson";
inline constexpr std::string_view kRotationSentinelName = "worktree-events.ndjson.rotating";

// "worktree-events.<YYYY-MM>.ndjson" for the month's first archive,
// "worktree-events.<YYYY-MM>.<number>.ndjson" for the later ones.
std::string archive_name(std::string_view month, int number);
// Whether `name` is an archive's name. Pruning deletes only such files.
bool is_archive_name(std::string_view name);

}  // namespace worktree_runtime::locations
