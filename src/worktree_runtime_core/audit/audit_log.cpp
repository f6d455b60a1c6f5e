#include "audit/audit_log.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <numeric>

#include "locations/file_names.hpp"
#include "locations/state_layout.hpp"
#include "paths/home.hpp"
#include "paths/paths.hpp"
#include "platform/filesystem.hpp"
#include "platform/process_environment.hpp"
#include "support/input_limits.hpp"
#include "support/runtime_variables.hpp"
#include "support/text.hpp"

namespace worktree_runtime::audit {
namespace {

constexpr std::int64_t kSentinelMaxAgeSeconds = 60;

// "[WORKTREE-AUDIT-FAILOPEN] <stage>: <error>".
void report_fail_open(std::string_view stage, const platform::SystemError& error) {
  platform::write_standard_error("[WORKTREE-AUDIT-FAILOPEN] " + std::string(stage) + ": " + error.description() + "\n");
}

// Running out of memory anywhere in an append: reported by a line that needs
// no allocation.
void report_out_of_memory() {
  platform::write_standard_error("[WORKTREE-AUDIT-FAILOPEN] memory: Cannot allocate memory (os error 12)\n");
}

using platform::Directory;
using platform::FileSystem;
using platform::SystemResult;

AuditLocation default_audit_location() {
  std::string root = platform::Environment::live()
                         .non_blank(support::kProjectRootVariable)
                         .value_or(platform::current_directory().value_or("."));
  if (std::optional<std::string> canonical = platform::canonicalize(root)) root = *std::move(canonical);
  std::string relative = locations::audit_relative_directory(locations::path_forming_project_id(root));
  return {std::move(root), std::move(relative)};
}

SystemResult<Directory> open_audit_dir(Directory::Missing missing) {
  const AuditLocation location = locate_audit_dir();
  return Directory::open_beneath(location.root, location.relative, missing);
}

// The instant of a record's timestamp. Every "Z" read as "+00:00" is what
// the offset parser does with the one "Z" a date-time may hold; anywhere else
// a "Z" fails either way.
std::optional<support::Instant> record_instant(std::string_view timestamp) { return support::parse_rfc3339(timestamp); }

// Checked on the views, before anything is copied.
bool passes(const AuditLineFields& fields, const AuditFilter& filter) {
  if (filter.branch && *fields.branch != *filter.branch) return false;
  if (filter.worktree_path && *fields.worktree_path != *filter.worktree_path) return false;
  const std::optional<support::Instant> instant = record_instant(*fields.timestamp);
  return instant && (!filter.since || *instant >= *filter.since) && (!filter.until || *instant <= *filter.until);
}

// No line that makes a record is shorter: its seven required members alone,
// keys and a date-time included, take more than a hundred bytes.
constexpr std::size_t kShortestRecordLine = 100;

// At most the number of records in `text`, and never more than its length
// allows: a log of blank lines holds none.
std::size_t record_count_bound(std::string_view text) {
  std::size_t lines = 1;
  for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n', end + 1)) ++lines;
  return std::min(lines, text.size() / kShortestRecordLine + 1);
}

// The records in ascending order of their timestamp text, equal texts kept
// in file order. A log written by one clock is usually in order already.
void sort_by_timestamp(std::vector<StoredAuditRecord>& records) {
  if (std::ranges::is_sorted(records, {}, &StoredAuditRecord::timestamp)) return;
  std::vector<std::size_t> order(records.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::stable_sort(order, {}, [&](std::size_t index) { return records[index].timestamp(); });
  // Records move into place along the cycles of the order, without a second
  // vector: place `index` takes the record at `order[index]`.
  for (std::size_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    StoredAuditRecord first = std::move(records[start]);
    std::size_t place = start;
    while (order[place] != start) {
      const std::size_t from = order[place];
      records[place] = std::move(records[from]);
      order[place] = place;
      place = from;
    }
    records[place] = std::move(first);
    order[place] = place;
  }
}

}  // namespace

AuditLocation locate_audit_dir() {
  std::optional<std::string> shared = platform::Environment::live().non_blank(support::kVelmorinSharedDirVariable);
  if (!shared) shared = platform::Environment::live().non_blank(support::kSharedDirVariable);
  if (!shared) return default_audit_location();
  return {paths::join_path(paths::expand_home(*shared), locations::kSharedAuditFolder), ""};
}

std::string resolve_audit_dir() {
  const AuditLocation location = locate_audit_dir();
  return location.relative.empty() ? location.root : paths::join_path(location.root, location.relative);
}

namespace {

void append_event(const AuditEventInput& input, const FileSystem& files) {
  const AuditLocation location = locate_audit_dir();
  const std::string active_log = paths::join_path(location.relative, locations::kActiveLogName);
  // Nearly every append finds the directory there: the log is opened first,
  // and the directory made only when that fails.
  SystemResult<platform::UniqueFd> log = files.open_for_append_beneath(location.root, active_log);
  std::optional<Directory> directory;
  if (!log) {
    SystemResult<Directory> made = files.open_beneath(location.root, location.relative, Directory::Missing::create);
    if (!made) {
      report_fail_open("mkdir", made.error());
      return;
    }
    directory = std::move(*made);
  }
  const StampedEvent event = build_audit_record(input, platform::utc_now());
  const std::string line = serialize_audit_line(event);
  if (event.extra) warn_suspicious_extra(*event.extra, *event.record.extra);
  if (!log) log = files.open_for_append(*directory, locations::kActiveLogName);
  if (!log) {
    report_fail_open("lock", log.error());
    return;
  }
  if (const SystemResult<void> locked = files.lock_whole_file(*log); !locked) {
    report_fail_open("lock", locked.error());
    return;
  }
  // A writer killed inside its write leaves a line without its line feed;
  // ending that line first keeps this record off the torn one.
  const bool torn = platform::read_last_byte(*log).value_or('\n') != '\n';
  if (const SystemResult<void> written = files.write_all(*log, torn ? "\n" + line : line); !written) {
    report_fail_open("write", written.error());
    return;
  }
  log->reset();  // closing the file releases the lock
  // Only the decision to rotate reads the size; the rotation reaches the
  // directory without following a link, as the append did.
  const std::optional<std::uint64_t> size = platform::file_size(paths::join_path(location.root, active_log));
  if (!size || *size <= kRotationThreshold) return;
  if (!directory) {
    SystemResult<Directory> opened = files.open_beneath(location.root, location.relative, Directory::Missing::fail);
    if (!opened) return;
    directory = std::move(*opened);
  }
  rotate_audit_log(*directory, files);
  prune_audit_archives(*directory, files);
}

}  // namespace

void append_audit_event(AuditEventInput input, const FileSystem& files) {
  try {
    append_event(input, files);
  } catch (const std::bad_alloc&) {
    report_out_of_memory();
  }
}

void rotate_audit_log(const Directory& directory, const FileSystem& files) {
  const std::string_view sentinel = locations::kRotationSentinelName;
  if (!files.create_exclusive(directory, sentinel)) return;  // another process is rotating
  const std::string month = support::format_year_month(platform::utc_now());
  // The first free name of the month. Looking first and renaming after
  // could replace an archive that an overlapping rotation made meanwhile: the
  // rename itself refuses a taken name.
  SystemResult<void> moved;
  for (int number = 1;; ++number) {
    moved =
        files.rename_without_replacing(directory, locations::kActiveLogName, locations::archive_name(month, number));
    if (moved || moved.error().number != EEXIST) break;
  }
  // A log that cannot be moved keeps its records where they are. After a
  // move, another process may already have created the new log and appended
  // to it: creating it must not truncate.
  if (moved) (void)files.create_if_missing(directory, locations::kActiveLogName);
  (void)files.remove_file(directory, sentinel);
}

void prune_audit_archives(const Directory& directory, const FileSystem& files) {
  SystemResult<std::vector<platform::DirectoryEntry>> entries = files.list(directory);
  if (!entries) {
    report_fail_open("prune-list", entries.error());
    return;
  }
  std::vector<platform::DirectoryEntry> archives;
  std::ranges::copy_if(*entries, std::back_inserter(archives),
                       [](const platform::DirectoryEntry& entry) { return locations::is_archive_name(entry.name); });
  if (archives.size() < kArchivesKept + 1) return;
  std::ranges::stable_sort(archives, std::ranges::greater{}, &platform::DirectoryEntry::modified);
  std::uint64_t total = 0;
  for (const platform::DirectoryEntry& archive : archives) total += archive.size;
  if (total <= kArchiveBudget) return;
  while (archives.size() > kArchivesKept) {
    if (const SystemResult<void> removed = files.remove_file(directory, archives.back().name); !removed) {
      report_fail_open("prune-delete", removed.error());
      return;
    }
    archives.pop_back();
  }
}

std::vector<StoredAuditRecord> parse_audit_log(std::string_view text, const AuditFilter& filter) {
  std::vector<StoredAuditRecord> records;
  if (!simdjson::validate_utf8(text.data(), text.size())) return records;
  records.reserve(record_count_bound(text));
  AuditLineReader reader;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = support::trim_white_space(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty()) continue;
    const std::optional<AuditLineFields> fields = reader.read(line);
    if (fields && fields->is_record() && passes(*fields, filter)) records.emplace_back(*fields);
  }
  return records;
}

std::vector<StoredAuditRecord> read_audit_records(const AuditFilter& filter) {
  const AuditLocation location = locate_audit_dir();
  const platform::FileContent content = Directory::read_file_beneath(
      location.root, paths::join_path(location.relative, locations::kActiveLogName), support::kAuditLogByteLimit);
  if (content.status != platform::FileContent::Status::read) return {};
  std::vector<StoredAuditRecord> records = parse_audit_log(content.bytes, filter);
  sort_by_timestamp(records);
  return records;
}

void reap_rotation_sentinel() {
  const SystemResult<Directory> directory = open_audit_dir(Directory::Missing::fail);
  if (!directory) return;
  const std::optional<platform::FileStatus> sentinel = directory->status(locations::kRotationSentinelName);
  if (!sentinel) return;
  const std::int64_t age = platform::utc_now().seconds - std::max<std::int64_t>(sentinel->modified.seconds, 0);
  if (age > kSentinelMaxAgeSeconds) (void)directory->remove_file(locations::kRotationSentinelName);
}

}  // namespace worktree_runtime::audit
