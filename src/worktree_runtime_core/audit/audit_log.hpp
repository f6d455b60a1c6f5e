#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit/audit_line_reader.hpp"
#include "audit/audit_record.hpp"
#include "platform/file_system.hpp"
#include "support/time.hpp"

namespace worktree_runtime::audit {

inline constexpr std::uint64_t kRotationThreshold = 10485760;  // 10 MiB
inline constexpr std::uint64_t kArchiveBudget = 209715200;     // 200 MiB
inline constexpr std::size_t kArchivesKept = 3;

// Where the audit directory is: `relative` below `root`. A directory that the
// user names is the root itself, links followed; the project's own folder
// below its root is walked without following a symbolic link.
struct AuditLocation {
  std::string root;
  std::string relative;
};

// The shared audit directory: VELMORIN_SHARED_DIR or QUORBEL_SHARED_DIR
// ("~" expanded) joined with "audit", else the project's state directory
// joined with "shared/audit". Reads the live environment on every call.
AuditLocation locate_audit_dir();

// The path of `locate_audit_dir`'s directory.
std::string resolve_audit_dir();

// Builds the record, writes its line to the shared log under an exclusive
// lock, then rotates and prunes when the log has passed 10 MiB. Never fails:
// each problem is one "[WORKTREE-AUDIT-FAILOPEN] " line on standard error.
void append_audit_event(AuditEventInput input, const platform::FileSystem& files = platform::FileSystem());

// Moves the directory's active log into this month's next free archive name,
// unless another process holds the rotation sentinel. Never loses a record:
// the active log stays where it is when the move fails, and the new active
// log is created without truncating what another process may already have
// appended.
void rotate_audit_log(const platform::Directory& directory, const platform::FileSystem& files = platform::FileSystem());

// Deletes the oldest archives, keeping the 3 newest, once 4 or more of them
// add up to more than 200 MiB.
void prune_audit_archives(const platform::Directory& directory,
                          const platform::FileSystem& files = platform::FileSystem());

// What a reader keeps: exact texts, and an inclusive window of instants.
struct AuditFilter {
  std::optional<std::string> branch;
  std::optional<std::string> worktree_path;
  std::optional<support::Instant> since;
  std::optional<support::Instant> until;
};

// The records of the active log that pass the filter, in ascending order of
// their timestamp text (records with equal texts in file order).
std::vector<StoredAuditRecord> read_audit_records(const AuditFilter& filter);

// The records of a log's text that pass the filter, in file order. Lines that
// are not records, and records whose timestamp is not a date-time, are
// skipped; a text that is not valid UTF-8 has none.
std::vector<StoredAuditRecord> parse_audit_log(std::string_view text, const AuditFilter& filter);

// Removes a rotation sentinel older than 60 seconds.
void reap_rotation_sentinel();

}  // namespace worktree_runtime::audit
