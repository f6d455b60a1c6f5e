#include "standard_library.hpp"

#include <optional>
#include <string>

#include "argument_kinds.hpp"
#include "guarded.hpp"
#include "once_cell.hpp"

namespace worktree_runtime::python {

PyRef standard_module_member(std::string_view module_name, std::string_view member_name) {
  // Names are plain ASCII: built without decoding.
  const auto name_object = [](std::string_view name) {
    return PyRef::steal(
        PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, name.data(), static_cast<Py_ssize_t>(name.size())));
  };
  PyRef name = name_object(module_name);
  if (!name) return {};
  PyRef module = PyRef::steal(PyImport_GetModule(name.get()));
  // A module not there yet is imported; None there blocks the import, and
  // importing raises the error that says so.
  const bool missing = !module && !PyErr_Occurred();
  if (missing || module.get() == Py_None) module = PyRef::steal(PyImport_Import(name.get()));
  if (!module) return {};
  PyRef member = name_object(member_name);
  return member ? PyRef::steal(PyObject_GetAttr(module.get(), member.get())) : PyRef();
}

PyObject* path_class() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    PyRef pathlib = PyRef::steal(PyImport_ImportModule("pathlib"));
    return pathlib ? PyObject_GetAttrString(pathlib.get(), "Path") : nullptr;
  });
}

support::EnvSnapshot snapshot_os_environ() {
  support::EnvSnapshot snapshot;
  PyRef environ = standard_module_member("os", "environ");
  PyRef items = environ ? PyRef::steal(PyMapping_Items(environ.get())) : PyRef();
  if (!items) {
    clear_error_unless_out_of_memory();
    return snapshot;
  }
  for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items.get()); ++index) {
    PyObject* item = PyList_GET_ITEM(items.get(), index);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0)) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(item, 1))) {
      return {};
    }
    std::optional<Text> key = Text::convert(PyTuple_GET_ITEM(item, 0));
    std::optional<Text> value = key ? Text::convert(PyTuple_GET_ITEM(item, 1)) : std::nullopt;
    if (!value) {
      // A variable that is not UTF-8 (decoded with surrogates) is left out.
      clear_error_unless_out_of_memory();
      continue;
    }
    snapshot.insert_or_assign(std::string(key->value), std::string(value->value));
  }
  return snapshot;
}

}  // namespace worktree_runtime::python
