#include "binding/convert.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "binding/errors.hpp"

namespace orn {

namespace {

Error conversion_failure(std::string text) { return type_error(std::move(text)); }

// The pending exception as the conversion's text.
Error interpreter_failure() { return conversion_failure(fetch_exception_text()); }

Error mismatch(PyObject* obj, const char* expected) {
  return conversion_failure("unexpected type: " + type_mismatch_text(obj, expected));
}

// Guards one level of nesting with the interpreter's own recursion check, so self-containing
// or absurdly deep data fails with a RecursionError text instead of exhausting the C stack.
class Depth {
 public:
  Depth() : entered_(Py_EnterRecursiveCall(" while converting a value") == 0) {}
  ~Depth() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  bool ok() const { return entered_; }

 private:
  bool entered_;
};

struct AbcCache {
  PyObject* sequence = nullptr;
  PyObject* mapping = nullptr;
};

// collections.abc.Sequence and Mapping, imported once per process.
Result<AbcCache*> abc() {
  static AbcCache cache;
  if (cache.sequence != nullptr) return &cache;
  PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return interpreter_failure();
  PyRef sequence = PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!sequence) return interpreter_failure();
  PyRef mapping = PyRef::steal(PyObject_GetAttrString(module.get(), "Mapping"));
  if (!mapping) return interpreter_failure();
  if (cache.sequence == nullptr) {  // kept for the life of the process
    cache.mapping = mapping.release();
    cache.sequence = sequence.release();
  }
  return &cache;
}

// isinstance that reports its own failure to the unraisable hook and then counts as false.
bool is_instance(PyObject* obj, PyObject* cls) {
  int result = PyObject_IsInstance(obj, cls);
  if (result < 0) {
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return result == 1;
}

Result<SettingValue> from_int(PyObject* obj) {
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
      if (small == -1 && PyErr_Occurred()) return interpreter_failure();
      return SettingValue::integer(small);
    }
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return interpreter_failure();
  auto* number = reinterpret_cast<PyLongObject*>(index.get());
  unsigned char bytes[16];
  if (_PyLong_AsByteArray(number, bytes, sizeof bytes, 1, 0) == 0) {
    for (int i = 8; i < 16; ++i) {
      if (bytes[i] != 0) return conversion_failure("JSON number out of range");
    }
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return SettingValue::uinteger(value);
  }
  PyErr_Clear();
  if (_PyLong_AsByteArray(number, bytes, sizeof bytes, 1, 1) != 0) return interpreter_failure();
  // Negative and within 128 bits: in the signed 64-bit range exactly when bytes 8..15 are all
  // ones and byte 7 has its top bit set.
  for (int i = 8; i < 16; ++i) {
    if (bytes[i] != 0xff) return conversion_failure("JSON number out of range");
  }
  if ((bytes[7] & 0x80) == 0) return conversion_failure("JSON number out of range");
  std::uint64_t raw = 0;
  for (int i = 7; i >= 0; --i) raw = (raw << 8) | bytes[i];
  return SettingValue::integer(static_cast<std::int64_t>(raw));
}

Result<SettingValue> from_str(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return interpreter_failure();
  return SettingValue::string(std::string_view(text, static_cast<std::size_t>(size)));
}

Result<std::string> key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) return mismatch(key, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) return interpreter_failure();
  return std::string(text, static_cast<std::size_t>(size));
}

Result<SettingValue> convert(PyObject* obj);

Result<SettingValue> from_items(PyObject* obj, Py_ssize_t size) {
  List items;
  items.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) return interpreter_failure();
    auto value = convert(item.get());
    if (!value) return value;
    items.push_back(value.take());
  }
  return SettingValue::list(std::move(items));
}

Result<SettingValue> from_list_or_tuple(PyObject* obj) {
  Py_ssize_t size = PyObject_Length(obj);
  if (size < 0) return interpreter_failure();
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // Items are read by index each time: a conversion can run code that changes the list.
    List items;
    items.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyList_CheckExact(obj)
                           ? (i < PyList_GET_SIZE(obj) ? PyList_GET_ITEM(obj, i) : nullptr)
                           : PyTuple_GET_ITEM(obj, i);
      if (item == nullptr) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return interpreter_failure();
      }
      PyRef held = PyRef::borrow(item);
      auto value = convert(held.get());
      if (!value) return value;
      items.push_back(value.take());
    }
    return SettingValue::list(std::move(items));
  }
  return from_items(obj, size);
}

Result<SettingValue> from_dataclass(PyObject* obj, PyObject* fields) {
  if (!PyDict_Check(fields)) return mismatch(fields, "dict");
  PyRef names = PyRef::steal(PyDict_Keys(fields));
  if (!names) return interpreter_failure();
  PyRef dict = PyRef::steal(PyObject_GetAttrString(obj, "__dict__"));
  if (!dict) return interpreter_failure();
  if (!PyDict_Check(dict.get())) return mismatch(dict.get(), "dict");
  Mapping mapping;
  Py_ssize_t count = PyList_GET_SIZE(names.get());
  mapping.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    auto key = key_text(name);
    if (!key) return std::move(key.error());
    PyObject* field = PyDict_GetItemWithError(dict.get(), name);
    if (field == nullptr) {
      if (PyErr_Occurred()) return interpreter_failure();
      PyErr_SetObject(PyExc_KeyError, name);
      return interpreter_failure();
    }
    PyRef held = PyRef::borrow(field);
    auto value = convert(held.get());
    if (!value) return value;
    mapping.append(key.take(), value.take());
  }
  mapping.finish();
  return SettingValue::map(std::move(mapping));
}

Result<SettingValue> from_mapping(PyObject* obj) {
  PyRef fields = PyRef::steal(PyObject_GetAttrString(obj, "__dataclass_fields__"));
  if (fields) return from_dataclass(obj, fields.get());
  PyErr_Clear();
  Mapping mapping;
  if (PyDict_CheckExact(obj)) {
    mapping.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
    // Keys and values are taken as a snapshot first: converting a value may change the dict.
    PyRef keys = PyRef::steal(PyDict_Keys(obj));
    PyRef values = PyRef::steal(PyDict_Values(obj));
    if (!keys || !values) return interpreter_failure();
    Py_ssize_t count = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
      auto text = key_text(PyList_GET_ITEM(keys.get(), i));
      if (!text) return std::move(text.error());
      auto value = convert(PyList_GET_ITEM(values.get(), i));
      if (!value) return value;
      mapping.append(text.take(), value.take());
    }
    mapping.finish();
    return SettingValue::map(std::move(mapping));
  }
  PyRef keys = PyRef::steal(PyMapping_Keys(obj));
  if (!keys) return interpreter_failure();
  PyRef values = PyRef::steal(PyMapping_Values(obj));
  if (!values) return interpreter_failure();
  Py_ssize_t count = PyMapping_Size(obj);
  if (count < 0) return interpreter_failure();
  mapping.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef key = PyRef::steal(PySequence_GetItem(keys.get(), i));
    if (!key) return interpreter_failure();
    auto text = key_text(key.get());
    if (!text) return std::move(text.error());
    PyRef item = PyRef::steal(PySequence_GetItem(values.get(), i));
    if (!item) return interpreter_failure();
    auto value = convert(item.get());
    if (!value) return value;
    mapping.append(text.take(), value.take());
  }
  mapping.finish();
  return SettingValue::map(std::move(mapping));
}

Result<SettingValue> convert(PyObject* obj) {
  if (obj == Py_None) return SettingValue();
  if (Py_IS_TYPE(obj, &PyBool_Type)) return SettingValue::boolean(obj == Py_True);
  if (PyLong_Check(obj)) return from_int(obj);
  if (PyUnicode_CheckExact(obj)) return from_str(obj);
  if (PyFloat_CheckExact(obj)) {
    double d = PyFloat_AS_DOUBLE(obj);
    return std::isfinite(d) ? SettingValue::floating(d) : SettingValue();
  }
  Depth depth;
  if (!depth.ok()) return interpreter_failure();
  if (PyList_Check(obj) || PyTuple_Check(obj)) return from_list_or_tuple(obj);
  if (PyDict_Check(obj)) return from_mapping(obj);
  if (PyUnicode_Check(obj)) return from_str(obj);
  if (PyBytes_Check(obj)) {
    return conversion_failure("invalid type: byte array, expected any valid JSON value");
  }
  if (PyByteArray_Check(obj)) return mismatch(obj, "bytes");
  if (PyFloat_Check(obj)) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return interpreter_failure();
    return std::isfinite(d) ? SettingValue::floating(d) : SettingValue();
  }
  if (PyAnySet_Check(obj)) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) return interpreter_failure();
    List items;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      auto value = convert(item.get());
      if (!value) return value;
      items.push_back(value.take());
    }
    if (PyErr_Occurred()) return interpreter_failure();
    return SettingValue::list(std::move(items));
  }
  auto classes = abc();
  if (!classes) return std::move(classes.error());
  if (is_instance(obj, classes.value()->sequence)) {
    Py_ssize_t first = PyObject_Length(obj);
    if (first < 0) return interpreter_failure();
    Py_ssize_t second = PyObject_Length(obj);
    if (second < 0) return interpreter_failure();
    if (first != second) {
      return conversion_failure("expected sequence of length " + std::to_string(first) + ", got " +
                                std::to_string(second));
    }
    return from_items(obj, second);
  }
  if (is_instance(obj, classes.value()->mapping)) return from_mapping(obj);
  PyRef fields = PyRef::steal(PyObject_GetAttrString(obj, "__dataclass_fields__"));
  if (fields) return from_dataclass(obj, fields.get());
  PyErr_Clear();
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return conversion_failure("unsupported type unknown");
  }
  return conversion_failure("unsupported type " +
                            std::string(text, static_cast<std::size_t>(size)));
}

Result<PyRef> made(PyObject* obj) {
  if (obj == nullptr) return interpreter_failure();
  return PyRef::steal(obj);
}

// Settings trees repeat the same key names in many groups. Making one str per distinct name, as
// long as it stays in a small direct-mapped table, saves most of the str creation and hashing
// when a large tree is converted.
class KeyCache {
 public:
  Result<PyRef> get(const std::string& name) {
    if (name.size() > kMaxCachedSize) return make(name);
    if (slots_ == nullptr) {
      // Small results are not worth the table.
      if (++uncached_ <= kUncachedLimit) return make(name);
      slots_ = std::make_unique<Slot[]>(kSlots);
    }
    Slot& slot = slots_[std::hash<std::string_view>()(name) % kSlots];
    if (slot.str && slot.name == name) return PyRef::borrow(slot.str.get());
    auto made = make(name);
    if (made) {
      slot.name = name;
      slot.str = PyRef::borrow(made.value().get());
    }
    return made;
  }

 private:
  static constexpr std::size_t kSlots = 512;
  static constexpr std::size_t kMaxCachedSize = 32;
  static constexpr std::size_t kUncachedLimit = 64;
  struct Slot {
    std::string_view name;  // a view into the tree, which outlives the conversion
    PyRef str;
  };
  static Result<PyRef> make(const std::string& name) {
    return made(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
  }
  std::unique_ptr<Slot[]> slots_;
  std::size_t uncached_ = 0;
};

Result<PyRef> to_python(const SettingValue& value, KeyCache& keys) {
  using Kind = SettingValue::Kind;
  switch (value.kind()) {
    case Kind::Null:
      return PyRef::borrow(Py_None);
    case Kind::Bool:
      return PyRef::borrow(value.as_bool() ? Py_True : Py_False);
    case Kind::UInt:
      return made(PyLong_FromUnsignedLongLong(value.as_uint()));
    case Kind::Int:
      return made(PyLong_FromLongLong(value.as_int()));
    case Kind::Float:
      return made(PyFloat_FromDouble(value.as_double()));
    case Kind::String: {
      std::string_view text = value.as_string();
      return made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    }
    case Kind::List: {
      Depth depth;
      if (!depth.ok()) return interpreter_failure();
      const List& items = value.as_list();
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return interpreter_failure();
      for (std::size_t i = 0; i < items.size(); ++i) {
        auto item = to_python(items[i], keys);
        if (!item) return item;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.value().release());
      }
      return list;
    }
    case Kind::Map: {
      Depth depth;
      if (!depth.ok()) return interpreter_failure();
      const Mapping& mapping = value.as_map();
      PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(mapping.size())));
      if (!dict) return interpreter_failure();
      for (const auto& [name, entry] : mapping) {
        auto key = keys.get(name);
        if (!key) return key;
        auto item = to_python(entry, keys);
        if (!item) return item;
        if (PyDict_SetItem(dict.get(), key.value().get(), item.value().get()) < 0) {
          return interpreter_failure();
        }
      }
      return dict;
    }
  }
  return conversion_failure("unknown value kind");
}

}  // namespace

Result<SettingValue> value_from_python(PyObject* obj) { return convert(obj); }

Result<PyRef> value_to_python(const SettingValue& value) {
  KeyCache keys;
  return to_python(value, keys);
}

}  // namespace orn
