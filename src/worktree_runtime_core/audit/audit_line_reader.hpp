#pragma once

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "audit/audit_fields.hpp"

namespace worktree_runtime::audit {

// The members of one line of the log that make a record, as views; the last
// of repeated keys counts, and a member of the wrong type counts as absent.
// `extra` is the payload's compact JSON text ("null" for a stored null).
struct AuditLineFields {
#define WORKTREE_RUNTIME_AUDIT_LINE_MEMBER(name, kind, presence) ReadAuditValue<AuditFieldKind::kind> name{};
  WORKTREE_RUNTIME_AUDIT_FIELDS(WORKTREE_RUNTIME_AUDIT_LINE_MEMBER)
#undef WORKTREE_RUNTIME_AUDIT_LINE_MEMBER

  // A line is a record when it has every required member.
  bool is_record() const;

  bool operator==(const AuditLineFields&) const = default;
};

// The members of the fields in declared order.
inline constexpr std::tuple kAuditLineMembers{
#define WORKTREE_RUNTIME_AUDIT_LINE_MEMBER_POINTER(name, kind, presence) &AuditLineFields::name,
    WORKTREE_RUNTIME_AUDIT_FIELDS(WORKTREE_RUNTIME_AUDIT_LINE_MEMBER_POINTER)
#undef WORKTREE_RUNTIME_AUDIT_LINE_MEMBER_POINTER
};

// The value of the field at `Index` in `fields`.
template <std::size_t Index>
constexpr auto& line_field(AuditLineFields& fields) {
  return fields.*std::get<Index>(kAuditLineMembers);
}
template <std::size_t Index>
constexpr const auto& line_field(const AuditLineFields& fields) {
  return fields.*std::get<Index>(kAuditLineMembers);
}

inline bool AuditLineFields::is_record() const {
  return all_audit_fields([this]<std::size_t Index>(AuditFieldAt<Index>) {
    if constexpr (AuditFieldAt<Index>::kRequired) return line_field<Index>(*this).has_value();
    return true;
  });
}

// How a record read back keeps a field: by the type it is read as, its
// texts back to back in one buffer.
enum class StoredAs { kText, kInteger, kFlag };

constexpr StoredAs stored_as(AuditFieldKind kind) {
  if (kind == AuditFieldKind::kInteger || kind == AuditFieldKind::kNullableInteger) return StoredAs::kInteger;
  if (kind == AuditFieldKind::kFlag) return StoredAs::kFlag;
  return StoredAs::kText;
}

// The number of fields before `end` that are stored as `stored`.
constexpr std::size_t count_stored_as(StoredAs stored, std::size_t end = kAuditFieldCount) {
  return static_cast<std::size_t>(
      std::count_if(std::begin(kAuditFields), std::begin(kAuditFields) + end,
                    [&](const AuditField& field) { return stored_as(field.kind) == stored; }));
}

// Records are sorted by their timestamp, kept as the first text: it starts
// where the buffer starts, so reading it takes one offset, not two.
inline constexpr std::size_t kStoredSortKey = audit_field_index("timestamp");

// The place of the field at `index` among the fields stored alike: declared
// order, but for the sort key first.
constexpr std::size_t stored_slot(std::size_t index) {
  const StoredAs stored = stored_as(kAuditFields[index].kind);
  if (stored != StoredAs::kText) return count_stored_as(stored, index);
  if (index == kStoredSortKey) return 0;
  return count_stored_as(stored, index) + (index < kStoredSortKey ? 1 : 0);
}

// A record read back from the log, compact: its texts back to back in one
// buffer of its own, its integers and flags as read.
class StoredAuditRecord {
 public:
  // Copies a line that `is_record()`. An absent text reads as empty.
  explicit StoredAuditRecord(const AuditLineFields& fields);

  // The fields, viewing this record's texts.
  AuditLineFields fields() const;

  std::string_view timestamp() const { return text(stored_slot(kStoredSortKey)); }

 private:
  static constexpr std::size_t kTextCount = count_stored_as(StoredAs::kText);

  std::string_view text(std::size_t slot) const {
    const std::size_t start = slot == 0 ? 0 : text_ends_[slot - 1];
    return {texts_.get() + start, text_ends_[slot] - start};
  }

  std::unique_ptr<char[]> texts_;
  std::array<std::size_t, kTextCount> text_ends_{};
  std::bitset<kTextCount> present_texts_;
  std::array<std::optional<std::int64_t>, count_stored_as(StoredAs::kInteger)> integers_{};
  std::array<bool, count_stored_as(StoredAs::kFlag)> flags_{};
};

// The fields of a line exactly as this module's writer lays it out: compact,
// every field's key in byte order, strings without escapes, plain numbers.
// Nothing for any other line, which only a general JSON parser can read; what
// this gives is what that parser would give. Views into `line`.
std::optional<AuditLineFields> read_own_layout(std::string_view line);

// Reads lines of the log one after another. Running out of memory throws
// std::bad_alloc and leaves the reader ready for the next line.
class AuditLineReader {
 public:
  // The fields of `line`, or nothing when it is not a JSON object. The views
  // point into `line` or into this reader, until its next call.
  std::optional<AuditLineFields> read(std::string_view line);

  // The same with the general JSON parser alone.
  std::optional<AuditLineFields> read_any_json(std::string_view line);

 private:
  // `error`, unless it says that the parser could not allocate: that throws
  // std::bad_alloc, with the parser replaced.
  simdjson::error_code unless_out_of_memory(simdjson::error_code error);

  simdjson::dom::parser parser_;
  std::string line_buffer_;
  std::string extra_text_;
};

}  // namespace worktree_runtime::audit
