#include "audit/audit_record.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/process_environment.hpp"
#include "support/input_limits.hpp"
#include "support/json.hpp"
#include "support/json_document.hpp"
#include "support/text.hpp"

namespace worktree_runtime::audit {
namespace {

using nlohmann::json;

constexpr std::string_view kSchemaVersion = "v1";
constexpr std::size_t kCwdLimit = 256;
constexpr std::size_t kCwdKeptBytes = 253;
constexpr std::array<std::string_view, 4> kSuspiciousWords = {"token", "key", "secret", "password"};

void append_json_integer(std::string& out, std::optional<std::int64_t> number) {
  out += number ? std::to_string(*number) : "null";
}

void append_json_optional_string(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    append_json_string(out, *text);
  } else {
    out += "null";
  }
}

template <AuditFieldKind Kind>
void append_value(std::string& out, const WrittenAuditValue<Kind>& value) {
  if constexpr (Kind == AuditFieldKind::kText) {
    append_json_string(out, value);
  } else if constexpr (Kind == AuditFieldKind::kNullableText) {
    append_json_optional_string(out, value);
  } else if constexpr (Kind == AuditFieldKind::kInteger || Kind == AuditFieldKind::kNullableInteger) {
    append_json_integer(out, value);
  } else if constexpr (Kind == AuditFieldKind::kFlag) {
    out += value ? "true" : "false";
  } else {
    static_assert(Kind == AuditFieldKind::kPayload);
    out += value ? *value : "null";
  }
}

// The line of `record`, its members in the byte order of their keys.
std::string render_line(const AuditRecord& record) {
  std::string line;
  line.reserve(512 + (record.extra ? record.extra->size() : 0));
  for_each_line_member([&]<std::size_t Position>(AuditLineMember<Position>) {
    using Member = AuditLineMember<Position>;
    line.append(Member::kLead.data(), Member::kLead.size());
    append_value<Member::kKind>(line, record.*std::get<Member::kIndex>(kAuditRecordMembers));
  });
  line += "}\n";
  return line;
}

// The last `kCwdKeptBytes` bytes at most, starting on a character boundary.
std::string shortened_cwd(std::string_view cwd) {
  std::size_t start = cwd.size() - kCwdKeptBytes;
  while (start < cwd.size() && (static_cast<unsigned char>(cwd[start]) & 0xC0) == 0x80) ++start;
  return "..." + std::string(cwd.substr(start));
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  while (true) {
    const std::size_t run = support::plain_json_string_run(text);
    out.append(text.substr(0, run));
    if (run == text.size()) break;
    const auto byte = static_cast<unsigned char>(text[run]);
    text.remove_prefix(run + 1);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
  }
  out += '"';
}

std::string compact_json(const json& value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace);
}

StampedEvent build_audit_record(const AuditEventInput& input, support::Instant now) {
  AuditRecord record;
  record.schema_version = kSchemaVersion;
  record.timestamp = support::format_timestamp(now);
  record.kind = input.kind;
  record.session_id = input.session_id;
  record.pid = platform::process_id();
  record.cwd = platform::current_directory().value_or("");
  record.host = platform::Environment::live().value("COMPUTERNAME").value_or("");
  record.invoker = input.invoker;
  record.branch = input.branch;
  record.worktree_path = input.worktree_path;
  record.outcome = input.outcome;
  record.elapsed_ms = input.elapsed_ms;
  record.correlation_id = input.correlation_id;
  std::optional<support::JsonTree> extra;
  // The payload is bounded before it is parsed: it is written again by a
  // recursive serializer, and its line must nest no deeper than the reader
  // reads (the record's own object is the first level).
  if (input.extra_json &&
      !support::json_exceeds(*input.extra_json, support::kMaxAuditLineNesting - 1, support::kMaxJsonValues)) {
    std::optional<support::JsonTree> parsed = support::parse_json(*input.extra_json);
    if (parsed && !(*parsed)->is_null()) extra = std::move(parsed);
  }
  if (extra) record.extra = compact_json(**extra);
  return {std::move(record), std::move(extra)};
}

std::string serialize_audit_line(const StampedEvent& event) {
  std::string line = render_line(event.record);
  if (line.size() <= kAuditLineLimit) return line;
  AuditRecord record = event.record;
  record.truncated = true;
  record.extra.reset();
  line = render_line(record);
  if (line.size() <= kAuditLineLimit) return line;
  record.elapsed_ms.reset();
  line = render_line(record);
  if (line.size() <= kAuditLineLimit) return line;
  if (record.cwd.size() > kCwdLimit) record.cwd = shortened_cwd(record.cwd);
  return render_line(record);
}

bool is_suspicious_extra(const json& extra, std::string_view text) {
  if (!extra.is_object()) return false;
  // Only ASCII words are looked for, so the final sigma that lower_case
  // leaves out could never change the answer.
  const std::string lowered = support::lower_case(text);
  return std::ranges::any_of(kSuspiciousWords,
                             [&](std::string_view word) { return lowered.find(word) != std::string::npos; });
}

void warn_suspicious_extra(const support::JsonTree& extra, std::string_view text) {
  if (!is_suspicious_extra(*extra, text)) return;
  std::vector<std::string> keys;
  for (const auto& [key, value] : extra->items()) keys.push_back(key);
  platform::write_standard_error("[WORKTREE-AUDIT-SUSPICIOUS-EXTRA] keys=" + support::quoted_list(keys) + "\n");
}

}  // namespace worktree_runtime::audit
