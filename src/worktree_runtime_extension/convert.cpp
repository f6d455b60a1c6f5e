#include "convert.hpp"

#include <string>

#include "exceptions.hpp"
#include "once_cell.hpp"
#include "support/text.hpp"

namespace worktree_runtime::python {
namespace {

PyObject* default_object(Default default_value) {
  switch (default_value) {
    case Default::none:
      return Py_None;
    case Default::empty_text:
      return Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR);
    case Default::false_flag:
      return Py_False;
    case Default::true_flag:
      return Py_True;
    case Default::required:
      break;
  }
  return nullptr;
}

std::string quoted_call_name(std::string_view function_name) { return std::string(function_name) + "()"; }

const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }

bool reject_surplus_positionals(std::string_view function_name, Py_ssize_t accepted, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given",
               quoted_call_name(function_name).c_str(), accepted, plural(accepted), given, given == 1 ? "was" : "were");
  return false;
}

std::optional<std::size_t> find_parameter(std::span<const Parameter> parameters, PyObject* keyword) {
  for (std::size_t index = 0; index < parameters.size(); ++index) {
    const std::string_view name = parameters[index].name;
    if (PyUnicode_EqualToUTF8AndSize(keyword, name.data(), static_cast<Py_ssize_t>(name.size()))) return index;
  }
  return std::nullopt;
}

bool bind_keywords(std::string_view function_name, std::span<const Parameter> parameters, PyObject* const* values,
                   PyObject* kwnames, std::span<PyObject*> bound) {
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t position = 0; position < count; ++position) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, position);
    const std::optional<std::size_t> index = find_parameter(parameters, keyword);
    if (!index) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                   quoted_call_name(function_name).c_str(), keyword);
      return false;
    }
    if (bound[*index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", quoted_call_name(function_name).c_str(),
                   keyword);
      return false;
    }
    bound[*index] = values[position];
  }
  return true;
}

bool bind_defaults(std::string_view function_name, std::span<const Parameter> parameters, std::span<PyObject*> bound) {
  for (std::size_t index = 0; index < parameters.size(); ++index) {
    if (bound[index] != nullptr) continue;
    bound[index] = default_object(parameters[index].default_value);
    if (bound[index] == nullptr) {
      const std::string name(parameters[index].name);
      PyErr_Format(PyExc_TypeError, "%s missing required %sargument '%s'", quoted_call_name(function_name).c_str(),
                   parameters[index].keyword_only ? "keyword-only " : "", name.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_arguments(std::string_view function_name, std::span<const Parameter> parameters, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> bound) {
  const auto positional_capacity = static_cast<Py_ssize_t>(
      std::count_if(parameters.begin(), parameters.end(), [](const Parameter& p) { return !p.keyword_only; }));
  if (nargs > positional_capacity) return reject_surplus_positionals(function_name, positional_capacity, nargs);
  std::copy_n(args, nargs, bound.begin());
  if (kwnames != nullptr && !bind_keywords(function_name, parameters, args + nargs, kwnames, bound)) return false;
  return bind_defaults(function_name, parameters, bound);
}

void add_parameter_note(std::string_view function_name, std::string_view parameter_name) {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  const std::string note =
      "while converting argument '" + std::string(parameter_name) + "' of " + quoted_call_name(function_name);
  PyRef result = PyRef::steal(
      PyObject_CallMethod(exception.get(), "add_note", "s#", note.data(), static_cast<Py_ssize_t>(note.size())));
  // A failure to attach the note must not hide the conversion error itself.
  if (!result) PyErr_Clear();
  PyErr_SetRaisedException(exception.release());
}

std::optional<Text> Text::convert(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "expected str, got %T", object);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return std::nullopt;
  return Text{std::string_view(utf8, static_cast<std::size_t>(size))};
}

std::optional<std::string> text_replacing_surrogates(PyObject* object) {
  if (const std::optional<Text> text = Text::convert(object)) return std::string(text->value);
  if (!PyUnicode_Check(object) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return std::nullopt;
  PyErr_Clear();
  std::string text;
  const int kind = PyUnicode_KIND(object);
  const void* data = PyUnicode_DATA(object);
  for (Py_ssize_t index = 0; index < PyUnicode_GET_LENGTH(object); ++index) {
    const Py_UCS4 code_point = PyUnicode_READ(kind, data, index);
    support::append_utf8(text, code_point >= 0xD800 && code_point <= 0xDFFF ? 0xFFFD : code_point);
  }
  return text;
}

std::optional<OptionalText> OptionalText::convert(PyObject* object) {
  if (object == Py_None) return OptionalText{};
  std::optional<Text> text = Text::convert(object);
  if (!text) return std::nullopt;
  return OptionalText{text->value};
}

std::optional<TextList> TextList::convert(PyObject* object) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of str other than str, got %T", object);
    return std::nullopt;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return std::nullopt;
  TextList texts;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    std::optional<Text> text = Text::convert(item.get());
    if (!text) return std::nullopt;
    texts.value.emplace_back(text->value);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return texts;
}

std::optional<OptionalTextList> OptionalTextList::convert(PyObject* object) {
  if (object == Py_None) return OptionalTextList{};
  std::optional<TextList> texts = TextList::convert(object);
  if (!texts) return std::nullopt;
  return OptionalTextList{std::move(texts->value)};
}

std::optional<PathLikeText> PathLikeText::convert(PyObject* object) {
  PyRef text = PyRef::borrow(object);
  if (!PyUnicode_Check(object)) {
    text = PyRef::steal(PyObject_CallMethod(object, "__fspath__", nullptr));
    if (!text) return std::nullopt;
    if (!PyUnicode_Check(text.get())) {
      PyErr_Format(PyExc_TypeError, "expected %T.__fspath__() to return str, not %T", object, text.get());
      return std::nullopt;
    }
  }
  std::optional<Text> converted = Text::convert(text.get());
  if (!converted) return std::nullopt;
  return PathLikeText{std::string(converted->value)};
}

std::optional<OptionalPathLikeText> OptionalPathLikeText::convert(PyObject* object) {
  if (object == Py_None) return OptionalPathLikeText{};
  std::optional<PathLikeText> text = PathLikeText::convert(object);
  if (!text) return std::nullopt;
  return OptionalPathLikeText{std::move(text->value)};
}

std::optional<FileSystemPath> FileSystemPath::convert(PyObject* object) {
  PyRef path = PyRef::steal(PyOS_FSPath(object));
  if (!path) return std::nullopt;
  if (!PyUnicode_Check(path.get())) {
    PyErr_Format(PyExc_TypeError, "expected a str path, got %T", path.get());
    return std::nullopt;
  }
  PyRef native = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!native) return std::nullopt;
  return FileSystemPath{std::move(path), std::string(PyBytes_AS_STRING(native.get()),
                                                     static_cast<std::size_t>(PyBytes_GET_SIZE(native.get())))};
}

std::optional<Flag> Flag::convert(PyObject* object) {
  if (PyBool_Check(object)) return Flag{object == Py_True};
  const std::string_view type_name = Py_TYPE(object)->tp_name;
  if (type_name == "numpy.bool" || type_name == "numpy.bool_") {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return std::nullopt;
    return Flag{truth == 1};
  }
  PyErr_Format(PyExc_TypeError, "expected bool, got %T", object);
  return std::nullopt;
}

std::optional<OptionalInteger> OptionalInteger::convert(PyObject* object) {
  if (object == Py_None) return OptionalInteger{};
  const long long number = PyLong_AsLongLong(object);
  if (number == -1 && PyErr_Occurred()) return std::nullopt;
  return OptionalInteger{static_cast<std::int64_t>(number)};
}

namespace {

// The snapshot of a dict whose keys and values are all str; nothing when one
// is not, or cannot be UTF-8 (a lone surrogate).
std::optional<support::EnvSnapshot> snapshot_of_text_dict(PyObject* object) {
  support::EnvSnapshot snapshot;
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(object, &position, &key, &value)) {
    if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) return std::nullopt;
    Py_ssize_t key_size;
    Py_ssize_t value_size;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    const char* value_text = key_text ? PyUnicode_AsUTF8AndSize(value, &value_size) : nullptr;
    if (value_text == nullptr) {
      // A text that cannot be UTF-8 (a lone surrogate) makes the mapping unusable too.
      PyErr_Clear();
      return std::nullopt;
    }
    snapshot.insert_or_assign(std::string(key_text, static_cast<std::size_t>(key_size)),
                              std::string(value_text, static_cast<std::size_t>(value_size)));
  }
  return snapshot;
}

}  // namespace

std::optional<EnvMapping> EnvMapping::convert(PyObject* object) {
  if (!PyDict_Check(object)) return EnvMapping{};
  // The caller's dict may be changed by another thread meanwhile (in a
  // free-threaded build): it is walked inside its critical section.
  std::optional<support::EnvSnapshot> snapshot;
  Py_BEGIN_CRITICAL_SECTION(object);
  snapshot = snapshot_of_text_dict(object);
  Py_END_CRITICAL_SECTION();
  return EnvMapping{std::move(snapshot)};
}

std::optional<LenientJsonPayload> LenientJsonPayload::convert(PyObject* object) {
  if (object == Py_None) return LenientJsonPayload{};
  std::optional<JsonPayload> payload = JsonPayload::convert(object);
  if (!payload) {
    PyErr_Clear();
    return LenientJsonPayload{};
  }
  return LenientJsonPayload{std::move(payload->text)};
}

std::optional<InstantBound> InstantBound::convert(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_CallMethod(object, "isoformat", nullptr));
  if (!text || !PyUnicode_Check(text.get())) {
    PyErr_Clear();
    return InstantBound{};
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return InstantBound{};
  }
  return InstantBound{support::parse_instant_bound(std::string_view(utf8, static_cast<std::size_t>(size)))};
}

namespace {

// A member of a standard module, looked up on every call: the caller may
// have replaced it. The module is taken from sys.modules, and imported only
// when it is not there yet.
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

}  // namespace

std::optional<JsonPayload> JsonPayload::convert(PyObject* object) {
  PyRef dumps = standard_module_member("json", "dumps");
  PyRef text = dumps ? PyRef::steal(PyObject_CallOneArg(dumps.get(), object)) : PyRef();
  if (!text) return std::nullopt;
  if (!PyUnicode_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "json.dumps returned %T, not str", text.get());
    return std::nullopt;
  }
  std::optional<Text> converted = Text::convert(text.get());
  if (!converted) return std::nullopt;
  return JsonPayload{std::string(converted->value)};
}

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

PyObject* to_python(std::int64_t number) { return PyLong_FromLongLong(number); }

PyObject* path_class() {
  static OnceCell cell;
  return cell.get([]() -> PyObject* {
    PyRef pathlib = PyRef::steal(PyImport_ImportModule("pathlib"));
    return pathlib ? PyObject_GetAttrString(pathlib.get(), "Path") : nullptr;
  });
}

PyObject* to_python(PathResult path) {
  PyObject* cls = path_class();
  if (cls == nullptr) return nullptr;
  PyRef text = PyRef::steal(to_python(path.text));
  return text ? PyObject_CallOneArg(cls, text.get()) : nullptr;
}

PyObject* to_python(TextTuple tuple) {
  PyRef result = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(tuple.texts.size())));
  if (!result) return nullptr;
  for (std::size_t index = 0; index < tuple.texts.size(); ++index) {
    PyObject* text = to_python(tuple.texts[index]);
    if (text == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(index), text);
  }
  return result.release();
}

PyObject* to_python(TextSet set) {
  PyRef result = PyRef::steal(PyFrozenSet_New(nullptr));
  if (!result) return nullptr;
  for (const std::string& member : set.texts) {
    PyRef text = PyRef::steal(to_python(member));
    if (!text || PySet_Add(result.get(), text.get()) < 0) return nullptr;
  }
  return result.release();
}

support::EnvSnapshot snapshot_os_environ() {
  support::EnvSnapshot snapshot;
  PyRef environ = standard_module_member("os", "environ");
  PyRef items = environ ? PyRef::steal(PyMapping_Items(environ.get())) : PyRef();
  if (!items) {
    PyErr_Clear();
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
      PyErr_Clear();
      continue;
    }
    snapshot.insert_or_assign(std::string(key->value), std::string(value->value));
  }
  return snapshot;
}

PyObject* to_python(JsonText json) {
  PyRef loads = standard_module_member("json", "loads");
  PyRef text = loads ? PyRef::steal(to_python(json.text)) : PyRef();
  return text ? PyObject_CallOneArg(loads.get(), text.get()) : nullptr;
}

PyObject* to_python(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_python(bool flag) { return PyBool_FromLong(flag); }

PyObject* to_python(const std::map<std::string, std::string>& texts) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : texts) {
    PyRef key_object = PyRef::steal(to_python(key));
    PyRef value_object = PyRef::steal(to_python(value));
    if (!key_object || !value_object || PyDict_SetItem(dict.get(), key_object.get(), value_object.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

PyObject* to_python(NameGroup group) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(group.names.size())));
  if (!tuple) return nullptr;
  for (std::size_t index = 0; index < group.names.size(); ++index) {
    PyObject* name = to_python(group.names[index]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(index), name);
  }
  return tuple.release();
}

PyObject* raise_core_error(const support::CoreError& error) {
  PyRef message = PyRef::steal(to_python(error.message));
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
  PyRef reason_code = PyRef::steal(to_python(error.reason_code));
  // Without the attribute the exception is still raised.
  if (!reason_code || PyObject_SetAttrString(exception.get(), "reason_code", reason_code.get()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(exception.release());
  return nullptr;
}

}  // namespace worktree_runtime::python
