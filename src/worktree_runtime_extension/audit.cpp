// The audit log: records, the writer and the reader.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "areas.hpp"
#include "argument_kinds.hpp"
#include "audit/audit_log.hpp"
#include "audit/audit_record.hpp"
#include "record_class.hpp"
#include "result_kinds.hpp"

namespace worktree_runtime::python {
namespace {

using audit::AuditLineFields;
using audit::StoredAuditRecord;

AuditLineFields fields_of(PyObject* self) { return record_of<StoredAuditRecord>(self).fields(); }

// A read-only attribute: a field of the stored record, converted anew on
// each read by `Result`.
template <auto Member, class Result>
PyObject* get_stored_field(PyObject* self, void*) {
  return guarded([self] { return Result::convert(fields_of(self).*Member); });
}

template <auto Member, class Result>
constexpr PyGetSetDef stored_field_getter(const char* name) {
  return {name, &get_stored_field<Member, Result>, nullptr, nullptr, nullptr};
}

// The dict form: the sixteen attributes in declared order.
struct AsAuditRecordDict {
  static PyObject* convert(const AuditLineFields& fields);
};

PyObject* AsAuditRecordDict::convert(const AuditLineFields& fields) {
  const std::pair<const char*, PyObject*> items[] = {
      {"schema_version", NoneOr<AsText>::convert(fields.schema_version)},
      {"timestamp", NoneOr<AsText>::convert(fields.timestamp)},
      {"kind", NoneOr<AsText>::convert(fields.kind)},
      {"session_id", NoneOr<AsText>::convert(fields.session_id)},
      {"pid", NoneOr<AsInteger>::convert(fields.pid)},
      {"parent_pid", NoneOr<AsInteger>::convert(fields.parent_pid)},
      {"cwd", NoneOr<AsText>::convert(fields.cwd)},
      {"host", NoneOr<AsText>::convert(fields.host)},
      {"invoker", NoneOr<AsText>::convert(fields.invoker)},
      {"branch", NoneOr<AsText>::convert(fields.branch)},
      {"worktree_path", NoneOr<AsText>::convert(fields.worktree_path)},
      {"outcome", NoneOr<AsText>::convert(fields.outcome)},
      {"elapsed_ms", NoneOr<AsInteger>::convert(fields.elapsed_ms)},
      {"correlation_id", NoneOr<AsText>::convert(fields.correlation_id)},
      {"truncated", AsFlag::convert(fields.truncated)},
      {"extra", NoneOr<AsJson>::convert(fields.extra)},
  };
  // Every value is owned here first, so none leaks when one fails.
  std::vector<PyRef> values;
  for (const auto& [key, value] : items) values.push_back(PyRef::steal(value));
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t index = 0; index < values.size(); ++index) {
    if (!values[index] || PyDict_SetItemString(dict.get(), items[index].first, values[index].get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

AuditLineFields to_dict(const StoredAuditRecord& record) { return record.fields(); }

struct AuditRecordClass {
  using Record = StoredAuditRecord;
  static constexpr const char* kName = "worktree_runtime.api.PyAuditRecord";
  static inline PyGetSetDef getters[] = {
      stored_field_getter<&AuditLineFields::schema_version, NoneOr<AsText>>("schema_version"),
      stored_field_getter<&AuditLineFields::timestamp, NoneOr<AsText>>("timestamp"),
      stored_field_getter<&AuditLineFields::kind, NoneOr<AsText>>("kind"),
      stored_field_getter<&AuditLineFields::session_id, NoneOr<AsText>>("session_id"),
      stored_field_getter<&AuditLineFields::pid, NoneOr<AsInteger>>("pid"),
      stored_field_getter<&AuditLineFields::parent_pid, NoneOr<AsInteger>>("parent_pid"),
      stored_field_getter<&AuditLineFields::cwd, NoneOr<AsText>>("cwd"),
      stored_field_getter<&AuditLineFields::host, NoneOr<AsText>>("host"),
      stored_field_getter<&AuditLineFields::invoker, NoneOr<AsText>>("invoker"),
      stored_field_getter<&AuditLineFields::branch, NoneOr<AsText>>("branch"),
      stored_field_getter<&AuditLineFields::worktree_path, NoneOr<AsText>>("worktree_path"),
      stored_field_getter<&AuditLineFields::outcome, NoneOr<AsText>>("outcome"),
      stored_field_getter<&AuditLineFields::elapsed_ms, NoneOr<AsInteger>>("elapsed_ms"),
      stored_field_getter<&AuditLineFields::correlation_id, NoneOr<AsText>>("correlation_id"),
      stored_field_getter<&AuditLineFields::truncated, AsFlag>("truncated"),
      stored_field_getter<&AuditLineFields::extra, NoneOr<AsJson>>("extra"),
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<"to_dict($self)", &to_dict, AsAuditRecordDict>(),
      {},
  };
  static std::string repr_text(PyObject* self) {
    const AuditLineFields fields = fields_of(self);
    return "AuditRecord(kind=" + std::string(*fields.kind) + ", branch=" + std::string(*fields.branch) +
           ", outcome=" + std::string(*fields.outcome) + ", timestamp=" + std::string(*fields.timestamp) + ")";
  }
};

std::optional<std::string> owned(OptionalText text) {
  return text.value ? std::optional<std::string>(*text.value) : std::nullopt;
}

void record_event(Text kind, Text branch, Text worktree_path, Text invoker, Text outcome, OptionalText session_id,
                  OptionalInteger elapsed_ms, OptionalText correlation_id, LenientJsonPayload extra) {
  audit::append_audit_event({
      .kind = std::string(kind.value),
      .branch = std::string(branch.value),
      .worktree_path = std::string(worktree_path.value),
      .invoker = std::string(invoker.value),
      .outcome = std::string(outcome.value),
      .session_id = owned(session_id),
      .correlation_id = owned(correlation_id),
      .elapsed_ms = elapsed_ms.value,
      .extra_json = std::move(extra.text),
  });
}

std::vector<StoredAuditRecord> read_records(OptionalText branch, OptionalText worktree_path, InstantBound since,
                                            InstantBound until) {
  return audit::read_audit_records({owned(branch), owned(worktree_path), since.value, until.value});
}

void reap_rotation_sentinel() { audit::reap_rotation_sentinel(); }

constexpr Export kClasses[] = {
    record_class<AuditRecordClass>(),
};

constexpr Export kFunctions[] = {
    function<"record_event(kind, branch, worktree_path, invoker, outcome, *, session_id=None, elapsed_ms=None, "
             "correlation_id=None, extra=None)",
             &record_event, AsNone>(),
    function<"read_records(branch=None, worktree_path=None, since=None, until=None)", &read_records,
             ListOf<AsInstance<AuditRecordClass>>>(),
    function<"reap_rotation_sentinel()", &reap_rotation_sentinel, AsNone>(),
};

}  // namespace

constinit const ExportBlock audit_exports::classes = kClasses;
constinit const ExportBlock audit_exports::functions = kFunctions;

}  // namespace worktree_runtime::python
