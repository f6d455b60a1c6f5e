#include "entry_points.hpp"

namespace worktree_runtime::python {

namespace detail {

VectorcallArguments::VectorcallArguments(PyObject* args, PyObject* kwargs) {
  positional_count_ = PyTuple_GET_SIZE(args);
  for (Py_ssize_t index = 0; index < positional_count_; ++index) values_.push_back(PyTuple_GET_ITEM(args, index));
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return;
  keyword_names_ = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
  if (!keyword_names_) {
    ok_ = false;
    return;
  }
  Py_ssize_t position = 0;
  Py_ssize_t index = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    PyTuple_SET_ITEM(keyword_names_.get(), index++, Py_NewRef(key));
    values_.push_back(value);
  }
}

}  // namespace detail

}  // namespace worktree_runtime::python
