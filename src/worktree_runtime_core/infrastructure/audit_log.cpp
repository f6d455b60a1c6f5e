#include "infrastructure/audit_log.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cerrno>

#include "domain/environment.hpp"
#include "domain/paths.hpp"
#include "domain/state_layout.hpp"
#include "domain/worktree_bases.hpp"
#include "infrastructure/project_id_resolver.hpp"
#include "platform/filesystem.hpp"
#include "platform/process_environment.hpp"
#include "support/text.hpp"

namespace worktree_runtime::infrastructure {
namespace {

constexpr std::int64_t kSentinelMaxAgeSeconds = 60;
constexpr std::string_view kArchivePrefix = "worktree-events.";
constexpr std::string_view kArchiveSuffix = ".ndjson";

// "[WORKTREE-AUDIT-FAILOPEN] <stage>: <error>" for the error in `errno`.
void report_fail_open(std::string_view stage) {
  const int error_number = errno;
  const std::string description =
      error_number == 0 ? "failed to write whole buffer" : platform::describe_error(error_number);
  platform::write_standard_error("[WORKTREE-AUDIT-FAILOPEN] " + std::string(stage) + ": " + description + "\n");
}

// The trimmed value of a variable that is set to non-blank UTF-8.
std::optional<std::string> non_blank_variable(std::string_view name) {
  const std::optional<std::string> value = platform::environment_variable(std::string(name).c_str());
  if (!value) return std::nullopt;
  const std::string_view trimmed = support::trim_white_space(*value);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

std::string default_audit_dir() {
  std::string root =
      non_blank_variable(domain::kProjectRootVariable).value_or(platform::current_directory().value_or("."));
  if (std::optional<std::string> canonical = platform::canonicalize(root)) root = *std::move(canonical);
  const std::string state_directory = domain::join_path(root, domain::resolve_state_dir_name(resolve_project_id(root)));
  return domain::join_path(state_directory, "shared/audit");
}

std::string archive_name(const std::string& month, int number) {
  std::string name(kArchivePrefix);
  name += month;
  if (number > 1) name += "." + std::to_string(number);
  name += kArchiveSuffix;
  return name;
}

bool is_archive_name(std::string_view name) {
  return name.size() >= 16 && name.starts_with(kArchivePrefix) && name.ends_with(kArchiveSuffix) &&
         name != kActiveLogName;
}

std::optional<std::int64_t> signed_integer(simdjson::dom::element value) {
  if (value.is_int64()) return value.get_int64().value_unsafe();
  return std::nullopt;
}

std::optional<std::string_view> string_of(simdjson::dom::element value) {
  if (!value.is_string()) return std::nullopt;
  return value.get_string().value_unsafe();
}

std::optional<std::string> owned(std::optional<std::string_view> text) {
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

// The instant of a record's timestamp. Every "Z" read as "+00:00" is what
// the offset parser does with the one "Z" a date-time may hold; anywhere else
// a "Z" fails either way.
std::optional<support::Instant> record_instant(std::string_view timestamp) { return support::parse_rfc3339(timestamp); }

// The members of one parsed line, viewed in place; the last of repeated keys
// counts. Views are valid until the parser reads the next line.
struct LineFields {
  std::optional<std::string_view> timestamp, kind, invoker, branch, worktree_path, outcome;
  std::optional<std::string_view> schema_version, cwd, host, session_id, correlation_id;
  std::optional<std::int64_t> pid, parent_pid, elapsed_ms;
  bool truncated = false;
  std::optional<simdjson::dom::element> extra;

  explicit LineFields(simdjson::dom::object object) {
    for (const auto field : object) read(field.key, field.value);
  }

  // Keys are told apart by length first: most lines hold the same sixteen.
  void read(std::string_view key, simdjson::dom::element value) {
    switch (key.size()) {
      case 3:
        if (key == "pid")
          pid = signed_integer(value);
        else if (key == "cwd")
          cwd = string_of(value);
        break;
      case 4:
        if (key == "kind")
          kind = string_of(value);
        else if (key == "host")
          host = string_of(value);
        break;
      case 5:
        if (key == "extra") extra = value;
        break;
      case 6:
        if (key == "branch") branch = string_of(value);
        break;
      case 7:
        if (key == "invoker")
          invoker = string_of(value);
        else if (key == "outcome")
          outcome = string_of(value);
        break;
      case 9:
        if (key == "timestamp")
          timestamp = string_of(value);
        else if (key == "truncated")
          truncated = value.is_bool() && value.get_bool().value_unsafe();
        break;
      case 10:
        if (key == "session_id")
          session_id = string_of(value);
        else if (key == "parent_pid")
          parent_pid = signed_integer(value);
        else if (key == "elapsed_ms")
          elapsed_ms = signed_integer(value);
        break;
      case 13:
        if (key == "worktree_path") worktree_path = string_of(value);
        break;
      case 14:
        if (key == "schema_version")
          schema_version = string_of(value);
        else if (key == "correlation_id")
          correlation_id = string_of(value);
        break;
      default:
        break;
    }
  }

  bool is_record() const { return timestamp && kind && invoker && branch && worktree_path && outcome && pid; }

  // Checked on the views, before anything is copied.
  bool passes(const AuditFilter& filter) const {
    if (filter.branch && *branch != *filter.branch) return false;
    if (filter.worktree_path && *worktree_path != *filter.worktree_path) return false;
    const std::optional<support::Instant> instant = record_instant(*timestamp);
    return instant && (!filter.since || *instant >= *filter.since) && (!filter.until || *instant <= *filter.until);
  }

  AuditRecord record() const {
    return {std::string(schema_version.value_or("")),
            std::string(*timestamp),
            std::string(*kind),
            owned(session_id),
            *pid,
            parent_pid,
            std::string(cwd.value_or("")),
            std::string(host.value_or("")),
            std::string(*invoker),
            std::string(*branch),
            std::string(*worktree_path),
            std::string(*outcome),
            elapsed_ms,
            owned(correlation_id),
            truncated,
            extra ? std::optional<std::string>(simdjson::minify(*extra)) : std::nullopt};
  }
};

// The records in ascending order of their timestamp text, equal texts kept
// in file order. A log written by one clock is usually in order already.
void sort_by_timestamp(std::vector<AuditRecord>& records) {
  const auto by_timestamp = [&](std::size_t left, std::size_t right) {
    return records[left].timestamp < records[right].timestamp;
  };
  std::vector<std::size_t> order(records.size());
  for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
  if (std::ranges::is_sorted(order, by_timestamp)) return;
  std::ranges::stable_sort(order, by_timestamp);
  std::vector<AuditRecord> sorted;
  sorted.reserve(records.size());
  for (const std::size_t index : order) sorted.push_back(std::move(records[index]));
  records = std::move(sorted);
}

}  // namespace

std::string resolve_audit_dir() {
  std::optional<std::string> shared = non_blank_variable(domain::kVelmorinSharedDirVariable);
  if (!shared) shared = non_blank_variable(domain::kSharedDirVariable);
  if (!shared) return default_audit_dir();
  return domain::join_path(domain::expand_home(*shared), "audit");
}

void append_audit_event(AuditEventInput input) {
  const std::string directory = resolve_audit_dir();
  if (!platform::make_directories(directory)) {
    report_fail_open("mkdir");
    return;
  }
  const StampedEvent event = build_audit_record(std::move(input), platform::utc_now());
  const std::string line = serialize_audit_line(event);
  if (event.extra) warn_suspicious_extra(*event.extra, *event.record.extra);
  const std::string active_log = domain::join_path(directory, kActiveLogName);
  {
    const platform::UniqueFd log = platform::open_for_append(active_log);
    if (!log || !platform::lock_whole_file(log)) {
      report_fail_open("lock");
      return;
    }
    if (!platform::write_all(log, line)) {
      report_fail_open("write");
      return;
    }
  }  // closing the file releases the lock
  const std::optional<std::uint64_t> size = platform::file_size(active_log);
  if (size && *size > kRotationThreshold) {
    rotate_audit_log(active_log);
    prune_audit_archives(directory);
  }
}

void rotate_audit_log(const std::string& active_log) {
  const std::string sentinel = active_log + std::string(kSentinelSuffix);
  if (!platform::create_exclusive(sentinel)) return;  // another process is rotating
  const std::string directory = domain::parent_directory(active_log);
  const std::string month = support::format_year_month(platform::utc_now());
  std::string target;
  for (int number = 1;; ++number) {
    target = domain::join_path(directory, archive_name(month, number));
    if (!platform::exists(target)) break;
  }
  // A log that cannot be moved keeps its records where they are. After a
  // move, another process may already have created the new log and appended
  // to it: creating it must not truncate.
  if (platform::rename_replacing(active_log, target)) platform::create_if_missing(active_log);
  platform::remove_file(sentinel);
}

void prune_audit_archives(const std::string& directory) {
  std::optional<std::vector<platform::DirectoryEntry>> entries = platform::list_directory(directory);
  if (!entries) {
    report_fail_open("prune-list");
    return;
  }
  std::vector<platform::DirectoryEntry> archives;
  std::ranges::copy_if(*entries, std::back_inserter(archives),
                       [](const platform::DirectoryEntry& entry) { return is_archive_name(entry.name); });
  if (archives.size() < kArchivesKept + 1) return;
  std::ranges::stable_sort(archives, std::ranges::greater{}, &platform::DirectoryEntry::modified);
  std::uint64_t total = 0;
  for (const platform::DirectoryEntry& archive : archives) total += archive.size;
  if (total <= kArchiveBudget) return;
  while (archives.size() > kArchivesKept) {
    if (!platform::remove_file(archives.back().path)) {
      report_fail_open("prune-delete");
      return;
    }
    archives.pop_back();
  }
}

std::vector<AuditRecord> parse_audit_log(std::string_view text, const AuditFilter& filter) {
  std::vector<AuditRecord> records;
  if (!simdjson::validate_utf8(text.data(), text.size())) return records;
  records.reserve(static_cast<std::size_t>(std::ranges::count(text, '\n')) + 1);
  // One padded copy of the whole log lets every line be parsed in place.
  const simdjson::padded_string padded(text);
  std::string_view rest(padded.data(), padded.size());
  simdjson::dom::parser parser;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = support::trim_white_space(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.empty()) continue;
    simdjson::dom::element value;
    simdjson::error_code error = parser.parse(line.data(), line.size(), false).get(value);
    std::string widened;
    if (error == simdjson::NUMBER_ERROR) {
      // simdjson refuses integers past 64 bits; the JSON grammar allows them.
      // Written again as floating point, they read as what they are: not a
      // 64-bit integer.
      const nlohmann::json reparsed = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
      if (reparsed.is_discarded()) continue;
      widened = compact_json(reparsed);
      error = parser.parse(widened).get(value);
    }
    simdjson::dom::object object;
    if (error != simdjson::SUCCESS || value.get_object().get(object) != simdjson::SUCCESS) continue;
    const LineFields fields(object);
    if (fields.is_record() && fields.passes(filter)) records.push_back(fields.record());
  }
  return records;
}

std::vector<AuditRecord> read_audit_records(const AuditFilter& filter) {
  const std::optional<std::string> text = platform::read_file(domain::join_path(resolve_audit_dir(), kActiveLogName));
  if (!text) return {};
  std::vector<AuditRecord> records = parse_audit_log(*text, filter);
  sort_by_timestamp(records);
  return records;
}

void reap_rotation_sentinel() {
  const std::string sentinel =
      domain::join_path(resolve_audit_dir(), std::string(kActiveLogName) + std::string(kSentinelSuffix));
  const std::optional<support::Instant> modified = platform::modification_time(sentinel);
  if (!modified) return;
  const std::int64_t age = platform::utc_now().seconds - std::max<std::int64_t>(modified->seconds, 0);
  if (age > kSentinelMaxAgeSeconds) platform::remove_file(sentinel);
}

}  // namespace worktree_runtime::infrastructure
