#include "argument_kinds.hpp"

#include "guarded.hpp"
#include "standard_library.hpp"
#include "support/text.hpp"

namespace worktree_runtime::python {

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

// The snapshot of a dict that no other thread can reach, whose keys and
// values are all str; nothing when one is not, or cannot be UTF-8 (a lone
// surrogate).
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
      clear_error_unless_out_of_memory();
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
  // free-threaded build). Its copy is made whole under the dict's lock and
  // holds its own references: walking the dict itself under that lock would
  // not do, as the UTF-8 form of a text takes the text's lock, and waiting for
  // it lets the dict's go, and with it the keys and values the walk borrowed.
  const PyRef copy = PyRef::steal(PyDict_Copy(object));
  if (!copy) return std::nullopt;
  return EnvMapping{snapshot_of_text_dict(copy.get())};
}

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

std::optional<LenientJsonPayload> LenientJsonPayload::convert(PyObject* object) {
  if (object == Py_None) return LenientJsonPayload{};
  std::optional<JsonPayload> payload = JsonPayload::convert(object);
  if (!payload) {
    clear_error_unless_out_of_memory();
    return LenientJsonPayload{};
  }
  return LenientJsonPayload{std::move(payload->text)};
}

std::optional<InstantBound> InstantBound::convert(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_CallMethod(object, "isoformat", nullptr));
  if (!text || !PyUnicode_Check(text.get())) {
    clear_error_unless_out_of_memory();
    return InstantBound{};
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    clear_error_unless_out_of_memory();
    return InstantBound{};
  }
  return InstantBound{support::parse_instant_bound(std::string_view(utf8, static_cast<std::size_t>(size)))};
}

}  // namespace worktree_runtime::python
