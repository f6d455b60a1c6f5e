#include "audit.hpp"

#include "audit/audit_log.hpp"
#include "audit/audit_record.hpp"
#include "convert.hpp"
#include "record_class.hpp"

namespace worktree_runtime::python {

using audit::AuditLineFields;
using audit::StoredAuditRecord;

namespace {
struct AuditRecordClass;
}  // namespace

template <>
struct ClassOf<StoredAuditRecord> {
  using type = AuditRecordClass;
};

namespace {

AuditLineFields fields_of(PyObject* self) { return record_of<StoredAuditRecord>(self).fields(); }

PyObject* extra_of(const AuditLineFields& fields) {
  if (!fields.extra) Py_RETURN_NONE;
  return to_python(JsonText{*fields.extra});
}

PyObject* get_extra(PyObject* self, void*) {
  return guarded([self] { return extra_of(fields_of(self)); });
}

// A read-only attribute: a field of the stored record, converted anew on
// each read.
template <auto Member>
PyObject* get_stored_field(PyObject* self, void*) {
  return guarded([self] { return to_python(fields_of(self).*Member); });
}

template <auto Member>
constexpr PyGetSetDef stored_field_getter(const char* name) {
  return {name, &get_stored_field<Member>, nullptr, nullptr, nullptr};
}

// The dict form: the sixteen attributes in declared order.
struct AuditRecordDict {
  AuditLineFields fields;
};

PyObject* to_python(AuditRecordDict form) {
  const AuditLineFields& fields = form.fields;
  const std::pair<const char*, PyObject*> items[] = {
      {"schema_version", python::to_python(fields.schema_version)},
      {"timestamp", python::to_python(fields.timestamp)},
      {"kind", python::to_python(fields.kind)},
      {"session_id", python::to_python(fields.session_id)},
      {"pid", python::to_python(fields.pid)},
      {"parent_pid", python::to_python(fields.parent_pid)},
      {"cwd", python::to_python(fields.cwd)},
      {"host", python::to_python(fields.host)},
      {"invoker", python::to_python(fields.invoker)},
      {"branch", python::to_python(fields.branch)},
      {"worktree_path", python::to_python(fields.worktree_path)},
      {"outcome", python::to_python(fields.outcome)},
      {"elapsed_ms", python::to_python(fields.elapsed_ms)},
      {"correlation_id", python::to_python(fields.correlation_id)},
      {"truncated", python::to_python(fields.truncated)},
      {"extra", extra_of(fields)},
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

AuditRecordDict to_dict(const StoredAuditRecord& record) { return {record.fields()}; }

struct AuditRecordClass {
  using Record = StoredAuditRecord;
  static constexpr const char* kName = "worktree_runtime.api.PyAuditRecord";
  static inline PyGetSetDef getters[] = {
      stored_field_getter<&AuditLineFields::schema_version>("schema_version"),
      stored_field_getter<&AuditLineFields::timestamp>("timestamp"),
      stored_field_getter<&AuditLineFields::kind>("kind"),
      stored_field_getter<&AuditLineFields::session_id>("session_id"),
      stored_field_getter<&AuditLineFields::pid>("pid"),
      stored_field_getter<&AuditLineFields::parent_pid>("parent_pid"),
      stored_field_getter<&AuditLineFields::cwd>("cwd"),
      stored_field_getter<&AuditLineFields::host>("host"),
      stored_field_getter<&AuditLineFields::invoker>("invoker"),
      stored_field_getter<&AuditLineFields::branch>("branch"),
      stored_field_getter<&AuditLineFields::worktree_path>("worktree_path"),
      stored_field_getter<&AuditLineFields::outcome>("outcome"),
      stored_field_getter<&AuditLineFields::elapsed_ms>("elapsed_ms"),
      stored_field_getter<&AuditLineFields::correlation_id>("correlation_id"),
      stored_field_getter<&AuditLineFields::truncated>("truncated"),
      {"extra", &get_extra, nullptr, nullptr, nullptr},
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<"to_dict($self)", &to_dict>(),
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

std::monostate record_event(Text kind, Text branch, Text worktree_path, Text invoker, Text outcome,
                            OptionalText session_id, OptionalInteger elapsed_ms, OptionalText correlation_id,
                            LenientJsonPayload extra) {
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
  return {};
}

std::vector<StoredAuditRecord> read_records(OptionalText branch, OptionalText worktree_path, InstantBound since,
                                            InstantBound until) {
  return audit::read_audit_records({owned(branch), owned(worktree_path), since.value, until.value});
}

std::monostate reap_rotation_sentinel() {
  audit::reap_rotation_sentinel();
  return {};
}

}  // namespace

PyObject* audit_record_class() { return class_type<AuditRecordClass>(); }

PyMethodDef record_event_function = module_function<
    "record_event(kind, branch, worktree_path, invoker, outcome, *, session_id=None, elapsed_ms=None, "
    "correlation_id=None, extra=None)",
    &record_event>();
PyMethodDef read_records_function =
    module_function<"read_records(branch=None, worktree_path=None, since=None, until=None)", &read_records>();
PyMethodDef reap_rotation_sentinel_function = module_function<"reap_rotation_sentinel()", &reap_rotation_sentinel>();

}  // namespace worktree_runtime::python
