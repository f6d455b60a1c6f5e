// The audit log, and each of its lines. The log is checked for UTF-8 as a
// whole before any line is read; of a valid line, wherever the reading of the
// writer's own layout takes it, the general JSON parser reads the same fields.
#include <simdjson.h>

#include <cstdint>
#include <string>

#include "audit/audit_line_reader.hpp"
#include "audit/audit_log.hpp"
#include "fuzz_check.hpp"
#include "support/text.hpp"

using namespace worktree_runtime::audit;

namespace {

// The payload is handed on as text, where a number may be spelt either way.
AuditLineFields with_canonical_payload(AuditLineFields fields, std::string& storage) {
  if (fields.extra) {
    simdjson::dom::parser parser;
    simdjson::dom::element payload;
    FUZZ_REQUIRE(parser.parse(std::string(*fields.extra)).get(payload) == simdjson::SUCCESS);
    storage = simdjson::minify(payload);
    fields.extra = storage;
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::vector<StoredAuditRecord> records = parse_audit_log(line, {});
  if (!worktree_runtime::support::is_valid_utf8(line)) {
    FUZZ_REQUIRE(records.empty());
    return 0;
  }
  AuditLineReader general_reader;
  const std::optional<AuditLineFields> general = general_reader.read_any_json(line);
  if (const std::optional<AuditLineFields> fast = read_own_layout(line)) {
    FUZZ_REQUIRE(general.has_value());
    std::string fast_payload, general_payload;
    FUZZ_REQUIRE(with_canonical_payload(*fast, fast_payload) == with_canonical_payload(*general, general_payload));
  }
  AuditLineReader reader;
  if (const std::optional<AuditLineFields> fields = reader.read(line); fields && fields->is_record()) {
    const StoredAuditRecord stored(*fields);
    FUZZ_REQUIRE(stored.timestamp() == *fields->timestamp);
    FUZZ_REQUIRE(stored.fields().kind == fields->kind);
  }
  return 0;
}
