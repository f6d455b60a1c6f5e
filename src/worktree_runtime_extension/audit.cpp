// The audit log: records, the writer and the reader.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "areas.hpp"
#include "argument_kinds.hpp"
#include "audit/audit_fields.hpp"
#include "audit/audit_log.hpp"
#include "audit/audit_record.hpp"
#include "record_class.hpp"
#include "result_kinds.hpp"

namespace worktree_runtime::python {
namespace {

using audit::AuditLineFields;
using audit::StoredAuditRecord;

AuditLineFields fields_of(PyObject* self) { return record_of<StoredAuditRecord>(self).fields(); }

// How a field of each kind reaches Python: a field the line lacks is None;
// the payload is the JSON value it holds.
template <audit::AuditFieldKind Kind>
struct FieldResult;
template <>
struct FieldResult<audit::AuditFieldKind::kText> : NoneOr<AsText> {};
template <>
struct FieldResult<audit::AuditFieldKind::kNullableText> : NoneOr<AsText> {};
template <>
struct FieldResult<audit::AuditFieldKind::kInteger> : NoneOr<AsInteger> {};
template <>
struct FieldResult<audit::AuditFieldKind::kNullableInteger> : NoneOr<AsInteger> {};
template <>
struct FieldResult<audit::AuditFieldKind::kFlag> : AsFlag {};
template <>
struct FieldResult<audit::AuditFieldKind::kPayload> : NoneOr<AsJson> {};

// The field at `Index` as Python sees it.
template <std::size_t Index>
PyObject* field_to_python(const AuditLineFields& fields) {
  return FieldResult<audit::AuditFieldAt<Index>::kKind>::convert(audit::line_field<Index>(fields));
}

// A read-only attribute: a field of the stored record, converted anew on
// each read.
template <std::size_t Index>
PyObject* get_audit_field(PyObject* self, void*) {
  return guarded([self] { return field_to_python<Index>(fields_of(self)); });
}

// An attribute for each field, in declared order.
template <class Indices>
struct FieldGetters;
template <std::size_t... Index>
struct FieldGetters<std::index_sequence<Index...>> {
  static inline PyGetSetDef table[] = {
      {audit::AuditFieldAt<Index>::kName.data(), &get_audit_field<Index>, nullptr, nullptr, nullptr}...,
      {},
  };
};

template <std::size_t... Index>
PyObject* dict_of(const AuditLineFields& fields, std::index_sequence<Index...>) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  // Stops at the first failure, so no conversion runs with an error set.
  const auto add = [&dict, &fields]<std::size_t At>() {
    const PyRef value = PyRef::steal(field_to_python<At>(fields));
    return value && PyDict_SetItemString(dict.get(), audit::kAuditFields[At].name.data(), value.get()) == 0;
  };
  if (!(add.template operator()<Index>() && ...)) return nullptr;
  return dict.release();
}

// The dict form: every attribute, in declared order.
struct AsAuditRecordDict {
  static PyObject* convert(const AuditLineFields& fields) {
    return dict_of(fields, std::make_index_sequence<audit::kAuditFieldCount>{});
  }
};

constexpr FixedString kToDictSignature = "to_dict($self)";
AuditLineFields to_dict(const StoredAuditRecord& record) { return record.fields(); }

struct AuditRecordClass {
  using Record = StoredAuditRecord;
  static constexpr const char* kName = "worktree_runtime.api.PyAuditRecord";
  static inline auto& getters = FieldGetters<std::make_index_sequence<audit::kAuditFieldCount>>::table;
  static inline PyMethodDef methods[] = {
      record_method<kToDictSignature, &to_dict, AsAuditRecordDict>(),
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

// Hands over views of the converted arguments: nothing allocates between the
// conversion and the writer, which never fails.
constexpr FixedString kRecordEventSignature =
    "record_event(kind, branch, worktree_path, invoker, outcome, *, session_id=None, elapsed_ms=None, "
    "correlation_id=None, extra=None)";
void record_event(Text kind, Text branch, Text worktree_path, Text invoker, Text outcome, OptionalText session_id,
                  OptionalInteger elapsed_ms, OptionalText correlation_id, LenientJsonPayload extra) {
  audit::append_audit_event({
      .kind = kind.value,
      .branch = branch.value,
      .worktree_path = worktree_path.value,
      .invoker = invoker.value,
      .outcome = outcome.value,
      .session_id = session_id.value,
      .correlation_id = correlation_id.value,
      .elapsed_ms = elapsed_ms.value,
      .extra_json = extra.text,
  });
}

constexpr FixedString kReadRecordsSignature = "read_records(branch=None, worktree_path=None, since=None, until=None)";
std::vector<StoredAuditRecord> read_records(OptionalText branch, OptionalText worktree_path, InstantBound since,
                                            InstantBound until) {
  return audit::read_audit_records({owned(branch), owned(worktree_path), since.value, until.value});
}

constexpr FixedString kReapRotationSentinelSignature = "reap_rotation_sentinel()";
void reap_rotation_sentinel() { audit::reap_rotation_sentinel(); }

constexpr Export kEntries[] = {
    record_class<AuditRecordClass>(),

    function<kRecordEventSignature, &record_event, AsNone>(),
    function<kReadRecordsSignature, &read_records, ListOf<AsInstance<AuditRecordClass>>>(),
    function<kReapRotationSentinelSignature, &reap_rotation_sentinel, AsNone>(),
};

}  // namespace

constinit const ExportTable audit_exports::entries = kEntries;

}  // namespace worktree_runtime::python
