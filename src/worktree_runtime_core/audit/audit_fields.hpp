#pragma once
// The fields of an audit record, in one list. The record the writer builds,
// the line it renders, both readers of a line, the record kept after reading
// and the record's attributes in the extension all follow this list, each by
// expanding it when compiling: a new field is its line here and its value
// where the writer builds the record.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace worktree_runtime::audit {

// FIELD(name, kind, presence), in declared order: the order of the Python
// attributes and of the dict form. In a line the keys are in byte order.
// A line that lacks a required field is no record; an optional text it lacks
// reads as empty.
#define WORKTREE_RUNTIME_AUDIT_FIELDS(FIELD)      \
  FIELD(schema_version, kText, kOptional)         \
  FIELD(timestamp, kText, kRequired)              \
  FIELD(kind, kText, kRequired)                   \
  FIELD(session_id, kNullableText, kOptional)     \
  FIELD(pid, kInteger, kRequired)                 \
  FIELD(parent_pid, kNullableInteger, kOptional)  \
  FIELD(cwd, kText, kOptional)                    \
  FIELD(host, kText, kOptional)                   \
  FIELD(invoker, kText, kRequired)                \
  FIELD(branch, kText, kRequired)                 \
  FIELD(worktree_path, kText, kRequired)          \
  FIELD(outcome, kText, kRequired)                \
  FIELD(elapsed_ms, kNullableInteger, kOptional)  \
  FIELD(correlation_id, kNullableText, kOptional) \
  FIELD(truncated, kFlag, kOptional)              \
  FIELD(extra, kPayload, kOptional)

// What a field's value is in a line: a JSON string, a string or null, an
// integer, an integer or null, true or false, or any JSON value.
enum class AuditFieldKind { kText, kNullableText, kInteger, kNullableInteger, kFlag, kPayload };

enum class AuditPresence { kRequired, kOptional };

struct AuditField {
  std::string_view name;  // a string literal, so also null-terminated
  AuditFieldKind kind;
  AuditPresence presence;
};

inline constexpr AuditField kAuditFields[] = {
#define WORKTREE_RUNTIME_AUDIT_FIELD_ENTRY(name, kind, presence) {#name, AuditFieldKind::kind, AuditPresence::presence},
    WORKTREE_RUNTIME_AUDIT_FIELDS(WORKTREE_RUNTIME_AUDIT_FIELD_ENTRY)
#undef WORKTREE_RUNTIME_AUDIT_FIELD_ENTRY
};

inline constexpr std::size_t kAuditFieldCount = std::size(kAuditFields);

// The place of the field named `name` in declared order.
consteval std::size_t audit_field_index(std::string_view name) {
  return static_cast<std::size_t>(std::ranges::find(kAuditFields, name, &AuditField::name) -
                                  std::ranges::begin(kAuditFields));
}

// The type of a field in the record the writer builds (`Written`), and as
// read from a line (`Read`: a view into the line, absent when the line lacks
// it or holds a value of another type; the payload as its JSON text).
template <AuditFieldKind Kind>
struct AuditFieldTypes;
template <>
struct AuditFieldTypes<AuditFieldKind::kText> {
  using Written = std::string;
  using Read = std::optional<std::string_view>;
};
template <>
struct AuditFieldTypes<AuditFieldKind::kNullableText> {
  using Written = std::optional<std::string>;
  using Read = std::optional<std::string_view>;
};
template <>
struct AuditFieldTypes<AuditFieldKind::kInteger> {
  using Written = std::int64_t;
  using Read = std::optional<std::int64_t>;
};
template <>
struct AuditFieldTypes<AuditFieldKind::kNullableInteger> {
  using Written = std::optional<std::int64_t>;
  using Read = std::optional<std::int64_t>;
};
template <>
struct AuditFieldTypes<AuditFieldKind::kFlag> {
  using Written = bool;
  using Read = bool;
};
template <>
struct AuditFieldTypes<AuditFieldKind::kPayload> {
  using Written = std::optional<std::string>;
  using Read = std::optional<std::string_view>;
};

template <AuditFieldKind Kind>
using WrittenAuditValue = typename AuditFieldTypes<Kind>::Written;
template <AuditFieldKind Kind>
using ReadAuditValue = typename AuditFieldTypes<Kind>::Read;

// One field, known when compiling.
template <std::size_t Index>
struct AuditFieldAt {
  static constexpr std::size_t kIndex = Index;
  static constexpr std::string_view kName = kAuditFields[Index].name;
  static constexpr AuditFieldKind kKind = kAuditFields[Index].kind;
  static constexpr bool kRequired = kAuditFields[Index].presence == AuditPresence::kRequired;
};

// Calls `visit(AuditFieldAt<Index>{})` for every field in declared order.
template <typename Visit>
constexpr void for_each_audit_field(Visit&& visit) {
  [&]<std::size_t... Index>(std::index_sequence<Index...>) { (visit(AuditFieldAt<Index>{}), ...); }
  (std::make_index_sequence<kAuditFieldCount>{});
}

// Whether `test(AuditFieldAt<Index>{})` holds for every field, trying them
// in declared order and stopping at the first that fails.
template <typename Test>
constexpr bool all_audit_fields(Test&& test) {
  return [&]<std::size_t... Index>(std::index_sequence<Index...>) { return (test(AuditFieldAt<Index>{}) && ...); }
  (std::make_index_sequence<kAuditFieldCount>{});
}

// Whether `test(AuditFieldAt<Index>{})` holds for some field, trying them in
// declared order and stopping at the first that does.
template <typename Test>
constexpr bool any_audit_field(Test&& test) {
  return [&]<std::size_t... Index>(std::index_sequence<Index...>) { return (test(AuditFieldAt<Index>{}) || ...); }
  (std::make_index_sequence<kAuditFieldCount>{});
}

// The fields in the order of their keys in a line: byte order.
inline constexpr std::array<std::size_t, kAuditFieldCount> kAuditLineOrder = [] {
  std::array<std::size_t, kAuditFieldCount> order{};
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::sort(order, {}, [](std::size_t index) { return kAuditFields[index].name; });
  return order;
}();

static_assert(std::ranges::adjacent_find(kAuditLineOrder, {},
                                         [](std::size_t index) { return kAuditFields[index].name; }) ==
                  kAuditLineOrder.end(),
              "two fields share a key");

// The member at `Position` of a line, with the text that leads its value:
// the key, after the brace that opens the line or the comma that ends the
// member before.
template <std::size_t Position>
struct AuditLineMember : AuditFieldAt<kAuditLineOrder[Position]> {
  static constexpr std::array kLead = [] {
    constexpr std::string_view name = kAuditFields[kAuditLineOrder[Position]].name;
    std::array<char, name.size() + 4> lead{};
    lead[0] = Position == 0 ? '{' : ',';
    lead[1] = '"';
    std::ranges::copy(name, lead.begin() + 2);
    lead[name.size() + 2] = '"';
    lead[name.size() + 3] = ':';
    return lead;
  }();
};

// Calls `visit(AuditLineMember<Position>{})` for every member of a line in
// its order.
template <typename Visit>
constexpr void for_each_line_member(Visit&& visit) {
  [&]<std::size_t... Position>(std::index_sequence<Position...>) { (visit(AuditLineMember<Position>{}), ...); }
  (std::make_index_sequence<kAuditFieldCount>{});
}

// Whether `test(AuditLineMember<Position>{})` holds for every member of a
// line, trying them in its order and stopping at the first that fails.
template <typename Test>
constexpr bool all_line_members(Test&& test) {
  return [&]<std::size_t... Position>(std::index_sequence<Position...>) {
    return (test(AuditLineMember<Position>{}) && ...);
  }
  (std::make_index_sequence<kAuditFieldCount>{});
}

}  // namespace worktree_runtime::audit
