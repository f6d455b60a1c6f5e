#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "audit/audit_fields.hpp"
#include "support/json_tree.hpp"
#include "support/time.hpp"

namespace worktree_runtime::audit {

// What a caller says about one event, as views of the caller's texts: the
// writer copies them, so that a caller hands them over without allocating.
struct AuditEventInput {
  std::string_view kind;
  std::string_view branch;
  std::string_view worktree_path;
  std::string_view invoker;
  std::string_view outcome;
  std::optional<std::string_view> session_id;
  std::optional<std::string_view> correlation_id;
  std::optional<std::int64_t> elapsed_ms;
  std::optional<std::string_view> extra_json;  // the payload's JSON text; unusable text means no payload
};

// One line of the audit log, a member for each field. `extra` holds the
// payload as compact JSON text, absent for none.
struct AuditRecord {
#define WORKTREE_RUNTIME_AUDIT_RECORD_MEMBER(name, kind, presence) WrittenAuditValue<AuditFieldKind::kind> name{};
  WORKTREE_RUNTIME_AUDIT_FIELDS(WORKTREE_RUNTIME_AUDIT_RECORD_MEMBER)
#undef WORKTREE_RUNTIME_AUDIT_RECORD_MEMBER
};

// The members of the record in declared order.
inline constexpr std::tuple kAuditRecordMembers{
#define WORKTREE_RUNTIME_AUDIT_RECORD_MEMBER_POINTER(name, kind, presence) &AuditRecord::name,
    WORKTREE_RUNTIME_AUDIT_FIELDS(WORKTREE_RUNTIME_AUDIT_RECORD_MEMBER_POINTER)
#undef WORKTREE_RUNTIME_AUDIT_RECORD_MEMBER_POINTER
};

inline constexpr std::size_t kAuditLineLimit = 4096;

// A new record stamped with the clock (UTC), this process, its current
// directory and the host name from COMPUTERNAME. The payload is kept both as
// a JSON value and, in the record, as its compact text; a payload that is
// JSON null is none.
struct StampedEvent {
  AuditRecord record;
  std::optional<support::JsonTree> extra;
};
StampedEvent build_audit_record(const AuditEventInput& input, support::Instant now);

// The compact JSON line with every field's key in byte order and a final line
// feed, shortened in stages to fit 4096 bytes: the payload dropped, then the
// duration, then the working directory cut to its last 253 bytes.
std::string serialize_audit_line(const StampedEvent& event);

// Prints "[WORKTREE-AUDIT-SUSPICIOUS-EXTRA] keys=[...]" to standard error
// when the payload is an object whose lower-cased compact JSON text (`text`)
// mentions a token, key, secret or password. Changes nothing.
void warn_suspicious_extra(const support::JsonTree& extra, std::string_view text);

bool is_suspicious_extra(const nlohmann::json& extra, std::string_view text);

// JSON written as the audit line writes it: compact, keys in byte order,
// non-ASCII unescaped.
std::string compact_json(const nlohmann::json& value);

// Appends `text` as a JSON string.
void append_json_string(std::string& out, std::string_view text);

}  // namespace worktree_runtime::audit
