#include "binding/convert.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/errors.hpp"

namespace orn {

namespace {

Error conversion_failure(std::string text) { return type_error(std::move(text)); }

// The pending exception, cleared and held. Its text is made by finished() once the conversion
// has unwound: at the recursion limit, str() of the RecursionError would itself fail.
Error interpreter_failure() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) {
    return conversion_failure("SystemError: attempted to fetch exception but none was set");
  }
  return raised_error(std::move(exception));
}

// The conversion's error as its callers take it: a text, with no exception object inside.
Error finished(Error error) {
  if (error.kind != ErrorKind::Raised || !error.raised) return error;
  return conversion_failure(exception_text(error.raised->exception.get()));
}

Error mismatch(PyObject* obj, const char* expected) {
  return conversion_failure("unexpected type: " + type_mismatch_text(obj, expected));
}

// One level of container nesting, counted by the interpreter's own recursion check: a list that
// holds itself, or a tree a hundred thousand levels deep, fails with the RecursionError text
// instead of exhausting the C stack.
class Depth {
 public:
  Depth() noexcept : entered_(Py_EnterRecursiveCall(" while converting a value") == 0) {}
  ~Depth() {
    if (entered_) Py_LeaveRecursiveCall();  // a refused entry has already been undone
  }
  Depth(const Depth&) = delete;
  Depth& operator=(const Depth&) = delete;
  bool entered() const noexcept { return entered_; }

 private:
  bool entered_;
};

// --- Python to SettingValue ----------------------------------------------------------------------

struct AbcClasses {
  PyObject* module = nullptr;
  PyObject* sequence = nullptr;
  PyObject* mapping = nullptr;
};

// collections.abc and its Sequence and Mapping, imported on first need and kept for the life of
// the process. The import can run Python code and so let another thread in; whoever finishes
// first fills the cache and a later result is dropped.
Result<const AbcClasses*> abc_classes() {
  static AbcClasses cache;
  if (cache.mapping != nullptr) return &cache;
  PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return interpreter_failure();
  PyRef sequence = PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!sequence) return interpreter_failure();
  PyRef mapping = PyRef::steal(PyObject_GetAttrString(module.get(), "Mapping"));
  if (!mapping) return interpreter_failure();
  if (cache.mapping == nullptr) {
    cache.module = module.release();
    cache.sequence = sequence.release();
    cache.mapping = mapping.release();  // last: a non-null mapping marks the cache complete
  }
  return &cache;
}

// isinstance whose own failure goes to the unraisable hook and then counts as false, so a broken
// __instancecheck__ cannot turn an unrelated object into an error.
bool is_instance(PyObject* obj, PyObject* cls) {
  int result = PyObject_IsInstance(obj, cls);
  if (result < 0) {
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return result == 1;
}

SettingValue from_double(double d) {
  return std::isfinite(d) ? SettingValue::floating(d) : SettingValue();
}

// Reads n as 128 bits, unsigned first: 64-bit values convert, the rest of the 128-bit range is
// "out of range", and beyond that the interpreter's own OverflowError gives the text.
Result<SettingValue> from_int(PyObject* obj) {
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && !(small == -1 && PyErr_Occurred())) return SettingValue::integer(small);
    if (overflow > 0) {
      unsigned long long large = PyLong_AsUnsignedLongLong(obj);
      if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        return SettingValue::uinteger(large);
      }
    }
    PyErr_Clear();
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return interpreter_failure();
  auto* number = reinterpret_cast<PyLongObject*>(index.get());
  unsigned char bytes[16];  // little-endian
  auto low_word = [&bytes] {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
    return word;
  };
  if (_PyLong_AsByteArray(number, bytes, sizeof bytes, 1, 0) == 0) {
    for (int i = 8; i < 16; ++i) {
      if (bytes[i] != 0) return conversion_failure("JSON number out of range");
    }
    return SettingValue::uinteger(low_word());
  }
  PyErr_Clear();  // negative: read again as signed
  if (_PyLong_AsByteArray(number, bytes, sizeof bytes, 1, 1) != 0) return interpreter_failure();
  // Only negative values get here. They fit 64 bits when the high half is pure sign extension
  // and the low half's top bit is set.
  for (int i = 8; i < 16; ++i) {
    if (bytes[i] != 0xff) return conversion_failure("JSON number out of range");
  }
  if ((bytes[7] & 0x80) == 0) return conversion_failure("JSON number out of range");
  return SettingValue::integer(static_cast<std::int64_t>(low_word()));
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

// Items 0..size-1 by PySequence_GetItem, for subclasses and abstract sequences.
Result<SettingValue> from_indexed(PyObject* obj, Py_ssize_t size) {
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
  if (PyTuple_CheckExact(obj)) {
    Py_ssize_t size = PyTuple_GET_SIZE(obj);
    List items;
    items.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      auto value = convert(PyTuple_GET_ITEM(obj, i));  // the tuple holds its items
      if (!value) return value;
      items.push_back(value.take());
    }
    return SettingValue::list(std::move(items));
  }
  if (PyList_CheckExact(obj)) {
    // The length is taken once, as len() would. Converting an item can run Python code that
    // shrinks the list, so each index is checked again and each item held while in use.
    Py_ssize_t size = PyList_GET_SIZE(obj);
    List items;
    items.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (i >= PyList_GET_SIZE(obj)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return interpreter_failure();
      }
      PyRef item = PyRef::borrow(PyList_GET_ITEM(obj, i));
      auto value = convert(item.get());
      if (!value) return value;
      items.push_back(value.take());
    }
    return SettingValue::list(std::move(items));
  }
  Py_ssize_t size = PyObject_Length(obj);
  if (size < 0) return interpreter_failure();
  return from_indexed(obj, size);
}

Result<SettingValue> from_dataclass(PyObject* obj, PyObject* fields) {
  if (!PyDict_Check(fields)) return mismatch(fields, "dict");
  PyRef names = PyRef::steal(PyDict_Keys(fields));
  if (!names) return interpreter_failure();
  PyRef dict = PyRef::steal(PyObject_GetAttrString(obj, "__dict__"));
  if (!dict) return interpreter_failure();
  if (!PyDict_Check(dict.get())) return mismatch(dict.get(), "dict");
  Py_ssize_t count = PyList_GET_SIZE(names.get());
  Mapping mapping;
  mapping.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    auto key = key_text(name);
    if (!key) return std::move(key.error());
    PyRef field = PyRef::borrow(PyDict_GetItemWithError(dict.get(), name));
    if (!field) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
      return interpreter_failure();
    }
    auto value = convert(field.get());
    if (!value) return value;
    mapping.append(key.take(), value.take());
  }
  mapping.finish();
  return SettingValue::map(std::move(mapping));
}

// obj's __dataclass_fields__, or nothing; any error of the lookup itself means "no such
// attribute".
PyRef dataclass_fields(PyObject* obj) {
  PyRef fields = PyRef::steal(PyObject_GetAttrString(obj, "__dataclass_fields__"));
  if (!fields) PyErr_Clear();
  return fields;
}

Result<SettingValue> from_exact_dict(PyObject* obj) {
  Mapping mapping;
  mapping.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  while (PyDict_Next(obj, &pos, &key, &item)) {
    auto text = key_text(key);
    if (!text) return std::move(text.error());
    // Held: converting it can run Python code that removes it from the dict.
    PyRef held = PyRef::borrow(item);
    auto value = convert(held.get());
    if (!value) return value;
    mapping.append(text.take(), value.take());
  }
  mapping.finish();
  return SettingValue::map(std::move(mapping));
}

Result<SettingValue> from_mapping(PyObject* obj) {
  // An exact dict cannot carry __dataclass_fields__: neither dict nor its instances take
  // attributes. Skipping the lookup spares an AttributeError per dict.
  if (PyDict_CheckExact(obj)) return from_exact_dict(obj);
  if (PyRef fields = dataclass_fields(obj)) return from_dataclass(obj, fields.get());
  PyRef keys = PyRef::steal(PyMapping_Keys(obj));
  if (!keys) return interpreter_failure();
  PyRef values = PyRef::steal(PyMapping_Values(obj));
  if (!values) return interpreter_failure();
  Py_ssize_t count = PyMapping_Size(obj);
  if (count < 0) return interpreter_failure();
  Mapping mapping;
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

Result<SettingValue> from_set(PyObject* obj) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) return interpreter_failure();
  List items;
  items.reserve(static_cast<std::size_t>(PySet_GET_SIZE(obj)));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    auto value = convert(item.get());
    if (!value) return value;
    items.push_back(value.take());
  }
  if (PyErr_Occurred()) return interpreter_failure();
  return SettingValue::list(std::move(items));
}

Result<SettingValue> from_abstract_sequence(PyObject* obj) {
  Py_ssize_t first = PyObject_Length(obj);
  if (first < 0) return interpreter_failure();
  Py_ssize_t second = PyObject_Length(obj);
  if (second < 0) return interpreter_failure();
  if (first != second) {
    return conversion_failure("expected sequence of length " + std::to_string(first) + ", got " +
                              std::to_string(second));
  }
  return from_indexed(obj, second);
}

Result<SettingValue> unsupported(PyObject* obj) {
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

// Converts a container one nesting level down.
template <typename Body>
Result<SettingValue> nested(Body&& body) {
  Depth depth;
  if (!depth.entered()) return interpreter_failure();
  return body();
}

// The order of the tests is part of the contract: bool before int, str before the abstract
// classes, and the dataclass attribute last.
Result<SettingValue> convert(PyObject* obj) {
  if (obj == Py_None) return SettingValue();
  if (Py_IS_TYPE(obj, &PyBool_Type)) return SettingValue::boolean(obj == Py_True);
  if (PyLong_Check(obj)) return from_int(obj);
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    return nested([obj] { return from_list_or_tuple(obj); });
  }
  if (PyDict_Check(obj)) return nested([obj] { return from_mapping(obj); });
  if (PyUnicode_Check(obj)) return from_str(obj);
  if (PyBytes_Check(obj)) {
    return conversion_failure("invalid type: byte array, expected any valid JSON value");
  }
  if (PyByteArray_Check(obj)) return mismatch(obj, "bytes");
  if (PyFloat_Check(obj)) return from_double(PyFloat_AS_DOUBLE(obj));
  if (PyAnySet_Check(obj)) return nested([obj] { return from_set(obj); });
  auto classes = abc_classes();
  if (!classes) return std::move(classes.error());
  if (is_instance(obj, classes.value()->sequence)) {
    return nested([obj] { return from_abstract_sequence(obj); });
  }
  if (is_instance(obj, classes.value()->mapping)) {
    return nested([obj] { return from_mapping(obj); });
  }
  if (PyRef fields = dataclass_fields(obj)) {
    return nested([obj, &fields] { return from_dataclass(obj, fields.get()); });
  }
  return unsupported(obj);
}

// --- SettingValue to Python ----------------------------------------------------------------------

Result<PyRef> made(PyObject* obj) {
  if (obj == nullptr) return interpreter_failure();
  return PyRef::steal(obj);
}

Result<PyRef> str_from(std::string_view text) {
  return made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// Settings trees repeat the same key names in many groups. One str per distinct name, kept in a
// small direct-mapped table, saves most of the str creation and hashing of a large tree; its
// hash is computed once and cached in the str.
class KeyCache {
 public:
  Result<PyRef> get(std::string_view name) {
    if (name.size() > kMaxCachedSize) return str_from(name);
    if (!slots_) {
      if (++uncached_ <= kUncachedLimit) return str_from(name);  // small results skip the table
      slots_ = std::make_unique<Slot[]>(kSlots);
    }
    Slot& slot = slots_[std::hash<std::string_view>()(name) % kSlots];
    if (slot.str && slot.name == name) return PyRef::borrow(slot.str.get());
    auto str = str_from(name);
    if (str) {
      slot.name = name;  // a view into the tree, which outlives the conversion
      slot.str = PyRef::borrow(str.value().get());
    }
    return str;
  }

 private:
  static constexpr std::size_t kSlots = 512;
  static constexpr std::size_t kMaxCachedSize = 32;
  static constexpr std::size_t kUncachedLimit = 64;
  struct Slot {
    std::string_view name;
    PyRef str;
  };
  std::unique_ptr<Slot[]> slots_;
  std::size_t uncached_ = 0;
};

class ToPython {
 public:
  Result<PyRef> convert(const SettingValue& value) {
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
      case Kind::String:
        return str_from(value.as_string());
      case Kind::List: {
        Depth depth;
        if (!depth.entered()) return interpreter_failure();
        return list(value.as_list());
      }
      case Kind::Map: {
        Depth depth;
        if (!depth.entered()) return interpreter_failure();
        return dict(value.as_map());
      }
    }
    return conversion_failure("unknown value kind");
  }

 private:
  // Items are made first and the list last, at its final length, so no list with empty slots is
  // ever visible to the collector or to its callbacks.
  Result<PyRef> list(const List& items) {
    std::size_t base = items_.size();
    for (const SettingValue& item : items) {
      auto made_item = convert(item);
      if (!made_item) return made_item;
      items_.push_back(std::move(made_item.value()));
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return interpreter_failure();
    for (std::size_t i = 0; i < items.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items_[base + i].release());
    }
    items_.resize(base);
    return list;
  }

  Result<PyRef> dict(const Mapping& mapping) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return interpreter_failure();
    for (const auto& [name, entry] : mapping) {
      auto key = keys_.get(name);
      if (!key) return key;
      auto item = convert(entry);
      if (!item) return item;
      if (PyDict_SetItem(dict.get(), key.value().get(), item.value().get()) < 0) {
        return interpreter_failure();
      }
    }
    return dict;
  }

  KeyCache keys_;
  // Items of the lists under construction, innermost last; one stack for the whole conversion
  // instead of a vector per list. What a failure leaves here is released with it.
  std::vector<PyRef> items_;
};

}  // namespace

Result<SettingValue> value_from_python(PyObject* obj) {
  auto value = convert(obj);
  if (!value) return finished(std::move(value.error()));
  return value;
}

Result<PyRef> value_to_python(const SettingValue& value) {
  // Every container made here is new and acyclic, so collections that run meanwhile can free
  // nothing; pausing the collector spares their repeated traversals of a large result. Nothing in
  // the conversion runs Python code, so no other code can see the collector paused.
  struct CollectorPause {
    int was_enabled = PyGC_Disable();
    ~CollectorPause() {
      if (was_enabled) PyGC_Enable();
    }
  };
  std::optional<CollectorPause> pause;
  if (value.kind() == SettingValue::Kind::Map || value.kind() == SettingValue::Kind::List) {
    pause.emplace();
  }
  auto made = ToPython().convert(value);
  if (!made) return finished(std::move(made.error()));
  return made;
}

}  // namespace orn
