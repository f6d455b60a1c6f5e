#include "result_kinds.hpp"

#include "exceptions.hpp"
#include "standard_library.hpp"

namespace worktree_runtime::python {

PyObject* AsText::convert(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* AsFlag::convert(bool flag) { return PyBool_FromLong(flag); }

PyObject* AsInteger::convert(std::int64_t number) { return PyLong_FromLongLong(number); }

PyObject* AsTextDict::convert(const std::map<std::string, std::string>& texts) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : texts) {
    PyRef key_object = PyRef::steal(AsText::convert(key));
    if (!key_object) return nullptr;
    PyRef value_object = PyRef::steal(AsText::convert(value));
    if (!value_object || PyDict_SetItem(dict.get(), key_object.get(), value_object.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* AsJson::convert(std::string_view json_text) {
  PyRef loads = standard_module_member("json", "loads");
  PyRef text = loads ? PyRef::steal(AsText::convert(json_text)) : PyRef();
  return text ? PyObject_CallOneArg(loads.get(), text.get()) : nullptr;
}

PyObject* AsPath::convert(std::string_view text) {
  PyObject* cls = path_class();
  if (cls == nullptr) return nullptr;
  PyRef path_text = PyRef::steal(AsText::convert(text));
  return path_text ? PyObject_CallOneArg(cls, path_text.get()) : nullptr;
}

PyObject* raise_core_error(const support::CoreError& error) {
  PyRef message = PyRef::steal(AsText::convert(error.message));
  if (!message) return nullptr;
  switch (error.kind) {
    case support::ErrorKind::invalid_value:
      PyErr_SetObject(PyExc_ValueError, message.get());
      return nullptr;
    case support::ErrorKind::worktree_list:
      if (PyObject* type = worktree_list_error_type()) PyErr_SetObject(type, message.get());
      return nullptr;
    case support::ErrorKind::invalid_project_id:
      break;
  }
  PyObject* type = project_id_invalid_error_type();
  if (type == nullptr) return nullptr;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(type, message.get()));
  if (!exception) return nullptr;
  PyRef reason_code = PyRef::steal(AsText::convert(error.reason_code));
  // Without the attribute the exception is still raised.
  if (!reason_code || PyObject_SetAttrString(exception.get(), "reason_code", reason_code.get()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(exception.release());
  return nullptr;
}

}  // namespace worktree_runtime::python
