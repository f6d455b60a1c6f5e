#include "audit.hpp"

#include "convert.hpp"
#include "infrastructure/audit_log.hpp"
#include "infrastructure/audit_record.hpp"
#include "record_class.hpp"

namespace worktree_runtime::python {

using infrastructure::AuditRecord;

namespace {
struct AuditRecordClass;
}  // namespace

template <>
struct ClassOf<AuditRecord> {
  using type = AuditRecordClass;
};

namespace {

PyObject* extra_of(const AuditRecord& record) {
  if (!record.extra) Py_RETURN_NONE;
  return to_python(JsonText{*record.extra});
}

PyObject* get_extra(PyObject* self, void*) {
  return guarded([self] { return extra_of(record_of<AuditRecord>(self)); });
}

// The dict form: the sixteen attributes in declared order.
struct AuditRecordDict {
  const AuditRecord& record;
};

PyObject* to_python(AuditRecordDict form) {
  const AuditRecord& record = form.record;
  const std::pair<const char*, PyObject*> items[] = {
      {"schema_version", python::to_python(std::string_view(record.schema_version))},
      {"timestamp", python::to_python(std::string_view(record.timestamp))},
      {"kind", python::to_python(std::string_view(record.kind))},
      {"session_id", python::to_python(record.session_id)},
      {"pid", python::to_python(record.pid)},
      {"parent_pid", python::to_python(record.parent_pid)},
      {"cwd", python::to_python(std::string_view(record.cwd))},
      {"host", python::to_python(std::string_view(record.host))},
      {"invoker", python::to_python(std::string_view(record.invoker))},
      {"branch", python::to_python(std::string_view(record.branch))},
      {"worktree_path", python::to_python(std::string_view(record.worktree_path))},
      {"outcome", python::to_python(std::string_view(record.outcome))},
      {"elapsed_ms", python::to_python(record.elapsed_ms)},
      {"correlation_id", python::to_python(record.correlation_id)},
      {"truncated", python::to_python(record.truncated)},
      {"extra", extra_of(record)},
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

AuditRecordDict to_dict(const AuditRecord& record) { return {record}; }

struct AuditRecordClass {
  using Record = AuditRecord;
  static constexpr const char* kName = "worktree_runtime.api.PyAuditRecord";
  static inline PyGetSetDef getters[] = {
      field_getter<&AuditRecord::schema_version>("schema_version"),
      field_getter<&AuditRecord::timestamp>("timestamp"),
      field_getter<&AuditRecord::kind>("kind"),
      field_getter<&AuditRecord::session_id>("session_id"),
      field_getter<&AuditRecord::pid>("pid"),
      field_getter<&AuditRecord::parent_pid>("parent_pid"),
      field_getter<&AuditRecord::cwd>("cwd"),
      field_getter<&AuditRecord::host>("host"),
      field_getter<&AuditRecord::invoker>("invoker"),
      field_getter<&AuditRecord::branch>("branch"),
      field_getter<&AuditRecord::worktree_path>("worktree_path"),
      field_getter<&AuditRecord::outcome>("outcome"),
      field_getter<&AuditRecord::elapsed_ms>("elapsed_ms"),
      field_getter<&AuditRecord::correlation_id>("correlation_id"),
      field_getter<&AuditRecord::truncated>("truncated"),
      {"extra", &get_extra, nullptr, nullptr, nullptr},
      {},
  };
  static inline PyMethodDef methods[] = {
      record_method<"to_dict($self)", &to_dict>(),
      {},
  };
  static std::string repr_text(PyObject* self) {
    const AuditRecord& record = record_of<AuditRecord>(self);
    return "AuditRecord(kind=" + record.kind + ", branch=" + record.branch + ", outcome=" + record.outcome +
           ", timestamp=" + record.timestamp + ")";
  }
};

std::optional<std::string> owned(OptionalText text) {
  return text.value ? std::optional<std::string>(*text.value) : std::nullopt;
}

std::monostate record_event(Text kind, Text branch, Text worktree_path, Text invoker, Text outcome,
                            OptionalText session_id, OptionalInteger elapsed_ms, OptionalText correlation_id,
                            LenientJsonPayload extra) {
  infrastructure::append_audit_event({
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

std::vector<AuditRecord> read_records(OptionalText branch, OptionalText worktree_path, InstantBound since,
                                      InstantBound until) {
  return infrastructure::read_audit_records({owned(branch), owned(worktree_path), since.value, until.value});
}

std::monostate reap_rotation_sentinel() {
  infrastructure::reap_rotation_sentinel();
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
