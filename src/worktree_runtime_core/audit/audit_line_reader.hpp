#pragma once

#include <simdjson.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace worktree_runtime::audit {

// The members of one line of the log that make a record, as views; the last
// of repeated keys counts, and a member of the wrong type counts as absent.
// `extra` is the payload's compact JSON text ("null" for a stored null).
struct AuditLineFields {
  std::optional<std::string_view> timestamp, kind, invoker, branch, worktree_path, outcome;
  std::optional<std::string_view> schema_version, cwd, host, session_id, correlation_id;
  std::optional<std::int64_t> pid, parent_pid, elapsed_ms;
  bool truncated = false;
  std::optional<std::string_view> extra;

  // A line is a record when it has every required member.
  bool is_record() const { return timestamp && kind && invoker && branch && worktree_path && outcome && pid; }

  bool operator==(const AuditLineFields&) const = default;
};

// A record read back from the log, compact: its texts back to back in one
// buffer of its own, the rest as read.
class StoredAuditRecord {
 public:
  // Copies a line that `is_record()`. An absent schema version, directory or
  // host reads as empty.
  explicit StoredAuditRecord(const AuditLineFields& fields);

  // The fields, viewing this record's texts.
  AuditLineFields fields() const;

  std::string_view timestamp() const { return text(0); }

 private:
  static constexpr std::size_t kTextCount = 12;

  std::string_view text(std::size_t index) const {
    const std::size_t start = index == 0 ? 0 : text_ends_[index - 1];
    return {texts_.get() + start, text_ends_[index] - start};
  }

  std::unique_ptr<char[]> texts_;
  std::array<std::size_t, kTextCount> text_ends_{};
  std::bitset<kTextCount> present_texts_;
  std::optional<std::int64_t> pid_, parent_pid_, elapsed_ms_;
  bool truncated_ = false;
};

// The fields of a line exactly as this module's writer lays it out: compact,
// the sixteen keys in byte order, strings without escapes, plain numbers.
// Nothing for any other line, which only a general JSON parser can read; what
// this gives is what that parser would give. Views into `line`.
std::optional<AuditLineFields> read_own_layout(std::string_view line);

// Reads lines of the log one after another.
class AuditLineReader {
 public:
  // The fields of `line`, or nothing when it is not a JSON object. The views
  // point into `line` or into this reader, until its next call.
  std::optional<AuditLineFields> read(std::string_view line);

  // The same with the general JSON parser alone.
  std::optional<AuditLineFields> read_any_json(std::string_view line);

 private:
  simdjson::dom::parser parser_;
  std::string line_buffer_;
  std::string extra_text_;
};

}  // namespace worktree_runtime::audit
