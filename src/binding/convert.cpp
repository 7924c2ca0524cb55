#include "binding/convert.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "engine/key_bytes.hpp"

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

// The conversion's error as its callers take it: a text, with no exception object inside. An
// interrupt or an exit (a BaseException that is no Exception) is not a failure of the data and
// stays the very exception object, so that it still stops the program.
Error finished(Error error) {
  if (error.kind != ErrorKind::Raised || !error.raised) return error;
  PyObject* exception = error.raised->exception.get();
  if (!PyErr_GivenExceptionMatches(exception, PyExc_Exception)) return error;
  return conversion_failure(exception_text(exception));
}

Error mismatch(PyObject* obj, const char* expected) {
  return conversion_failure("unexpected type: " + type_mismatch_text(obj, expected));
}

// Each container nesting level is counted by the interpreter's own recursion check (a counter,
// no stack): a list that holds itself, or a tree a hundred thousand levels deep, fails with the
// RecursionError text. The walks themselves keep their levels on the heap, so deep data costs
// no C stack, whatever the thread's stack size.
bool enter_level() { return Py_EnterRecursiveCall(" while converting a value") == 0; }
void leave_level() { Py_LeaveRecursiveCall(); }

// Each check costs the interpreter a look-up of the thread's state, a call into the loader, and
// a set_value of a few small groups would pay more for its levels than for its data. So the
// walks count no level until they reach this depth, deeper than any ordinary settings tree, and
// then every level at once: deep data still fails at the same container, and Python code that
// runs meanwhile has the levels below it counted first.
constexpr std::size_t kUncountedLevels = 64;

// Counts the levels [entered, upto); false, with the RecursionError set, at the first one the
// check refuses, which is not counted.
bool count_levels(std::size_t& entered, std::size_t upto) {
  for (; entered < upto; ++entered) {
    if (!enter_level()) return false;
  }
  return true;
}

// --- Python to SettingValue ----------------------------------------------------------------------

struct AbcClasses {
  PyObject* module = nullptr;
  PyObject* sequence = nullptr;
  PyObject* mapping = nullptr;
};

// collections.abc and its Sequence and Mapping, imported on first need and kept for the life of
// the process (the module refuses subinterpreters, so no other interpreter can see them). The
// import can run Python code and so let another thread in; whoever finishes first fills the
// cache and a later result is dropped.
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

// An exception that a lookup or a test may swallow: an ordinary Exception. An interrupt or an
// exit raised meanwhile is never swallowed.
bool pending_is_ordinary() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// isinstance whose own failure goes to the unraisable hook and then counts as false, so a broken
// __instancecheck__ cannot turn an unrelated object into an error.
Result<bool> is_instance(PyObject* obj, PyObject* cls) {
  int result = PyObject_IsInstance(obj, cls);
  if (result < 0) {
    if (!pending_is_ordinary()) return interpreter_failure();
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return result == 1;
}

// obj's __dataclass_fields__, or a null reference when there is none; an ordinary error of the
// lookup itself means "no such attribute".
Result<PyRef> dataclass_fields(PyObject* obj) {
  PyRef fields = PyRef::steal(PyObject_GetAttrString(obj, "__dataclass_fields__"));
  if (!fields) {
    if (!pending_is_ordinary()) return interpreter_failure();
    PyErr_Clear();
  }
  return fields;
}

// A reported length is only a hint, but one so large that the items could never be stored on
// this machine fails at once with MemoryError, as list() fails for it, instead of climbing
// towards the memory limit item by item.
Status check_storable(Py_ssize_t count) {
  static const std::uint64_t limit = [] {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) /
           sizeof(SettingValue);
  }();
  if (static_cast<std::uint64_t>(count) <= limit) return Ok{};
  PyErr_NoMemory();
  return interpreter_failure();
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
  unsigned char bytes[16];  // little-endian
  auto low_word = [&bytes] {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
    return word;
  };
  if (compat::int_to_little_endian(index.get(), bytes, sizeof bytes, false) == 0) {
    for (int i = 8; i < 16; ++i) {
      if (bytes[i] != 0) return conversion_failure("JSON number out of range");
    }
    return SettingValue::uinteger(low_word());
  }
  PyErr_Clear();  // negative: read again as signed
  if (compat::int_to_little_endian(index.get(), bytes, sizeof bytes, true) != 0) {
    return interpreter_failure();
  }
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

// A compact ASCII str keeps its bytes inline, and they are its UTF-8: no call, no UTF-8 cache.
bool ascii_view(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_IS_COMPACT_ASCII(obj)) return false;
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
  return true;
}

// The UTF-8 of a str key, valid while the key lives.
Status key_view(PyObject* key, std::string_view& out) {
  if (Py_IS_TYPE(key, &PyUnicode_Type)) {
    if (ascii_view(key, out)) return Ok{};
  } else if (!PyUnicode_Check(key)) {
    return mismatch(key, "str");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) return interpreter_failure();
  out = std::string_view(text, static_cast<std::size_t>(size));
  return Ok{};
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

// None, bool, int, str and float (or their subclasses). No class derives from one of these and
// from a container type, bytes or bytearray at once (their layouts conflict), so testing them
// first keeps the order of the tests. Converting them runs no Python code.
bool is_scalar(PyObject* obj) {
  // Exact dicts and lists, most of what gets here, are told by their type alone: the float test
  // of anything that is no float is a call.
  if (PyDict_CheckExact(obj) || PyList_CheckExact(obj)) return false;
  return obj == Py_None || PyLong_Check(obj) || PyUnicode_Check(obj) || PyFloat_Check(obj);
}

// The exact builtin scalars that convert without a call into the interpreter, one test of the
// type each: the bulk of any tree. False leaves everything else to from_scalar.
bool plain_scalar(PyObject* obj, SettingValue& out) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyFloat_Type) {
    out = from_double(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (type == &PyLong_Type) {
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number)) {
      out = SettingValue::integer(PyUnstable_Long_CompactValue(number));
      return true;
    }
    int overflow = 0;
    long long wide = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return false;  // no error is set: from_int takes it from here
    out = SettingValue::integer(wide);
    return true;
  }
  if (type == &PyUnicode_Type) {
    std::string_view text;
    if (!ascii_view(obj, text)) return false;
    out = SettingValue::string(text);
    return true;
  }
  if (obj == Py_None) {
    out = SettingValue();
    return true;
  }
  if (type == &PyBool_Type) {
    out = SettingValue::boolean(obj == Py_True);
    return true;
  }
  return false;
}

Result<SettingValue> from_scalar(PyObject* obj) {
  if (obj == Py_None) return SettingValue();
  if (Py_IS_TYPE(obj, &PyBool_Type)) return SettingValue::boolean(obj == Py_True);
  if (PyLong_Check(obj)) return from_int(obj);
  if (PyUnicode_Check(obj)) return from_str(obj);
  return from_double(PyFloat_AS_DOUBLE(obj));
}

// value_from_python as a loop over an explicit stack of the containers being converted, innermost
// last. Each frame takes its children one at a time, in the order a recursive conversion would
// visit them, and collects their values.
//
// An exact dict is walked in place with PyDict_Next, which equals walking a snapshot of its keys
// and values as long as no Python code runs. Every step that may run Python code (a lookup or a
// test on a non-builtin type, __len__ or __getitem__ of a subclass, an iterator) first calls
// before_python_code(), which turns every in-place dict walk on the stack into a walk over a
// snapshot taken at that moment, at the same position. So whatever that code does to an
// enclosing dict, the result is the snapshot's. (Releasing an object can run a finalizer too, but
// only objects that Python code made can die here, and by then every dict below them has been
// turned into a snapshot.)
class FromPython {
 public:
  FromPython() noexcept : frames_(std::move(spare_frames_)) {}
  FromPython(const FromPython&) = delete;
  FromPython& operator=(const FromPython&) = delete;
  ~FromPython() {
    while (depth_ > 0) pop();  // after a failure
    // No tree memory is kept, as it must not outlive the interpreter: no room for items, and no
    // entries or room of a mapping's own. The frames' room for small dicts is not tree memory.
    for (Frame& frame : frames_) {
      if (frame.map.holds_tree_memory()) frame.map = Mapping();
      if (frame.items.capacity() != 0) frame.items = List();
    }
    if (frames_.capacity() > spare_frames_.capacity()) spare_frames_ = std::move(frames_);
    for (; entered_ > 0; --entered_) leave_level();
  }

  Result<SettingValue> run(PyObject* root);

 private:
  // Plain data: exact dicts with exact str keys, exact lists and tuples, and the exact scalars
  // that convert without a call, no deeper than kUncountedLevels. Converting it can run no
  // Python code, so it needs none of the walk's care (held references, snapshots, counted
  // levels) and is converted by plain recursion, with the frames' room as scratch. Anything
  // else makes it give up, and what it has made so far is dropped before the walk starts over:
  // the walk gives the same result, or the error, as it would have from the start.
  bool plain(PyObject* obj, SettingValue& out, std::size_t depth);
  // The entries of an exact dict, appended to map.
  bool plain_entries(PyObject* dict, Mapping& map, std::size_t depth);
  void drop_plain_scratch() noexcept;
  std::size_t plain_depth_ = 0;  // frames whose scratch plain() has used

  enum class Walk : std::uint8_t {
    Tuple,     // exact tuple: items by index
    List,      // exact list: items by index, the length read once and each index re-checked
    Indexed,   // list or tuple subclass, abstract sequence: PySequence_GetItem up to a length
    Set,       // set or frozenset: an iterator
    DictLive,  // exact dict walked in place: PyDict_Next
    Keyed,     // snapshot lists of keys and values: non-exact dicts and Mappings
    Fields,    // dataclass: field names looked up in the instance's __dict__
  };

  // Frames are reused from one container to the next at the same depth: the items have been moved
  // out when they finished, and keep their buffer.
  struct Frame {
    Walk walk = Walk::Tuple;
    bool is_map = false;
    PyRef source;          // the container; held while it is converted
    PyRef keys;            // Keyed: the key list; Fields: the field names; Set: the iterator
    PyRef values;          // Keyed: the value list; Fields: the instance's __dict__
    Py_ssize_t index = 0;  // the next position (DictLive: PyDict_Next's position)
    Py_ssize_t count = 0;  // positions to take (DictLive: entries taken so far)
    List items;
    // is_map: the children so far, in the order they were taken, each key's bytes copied at
    // once, so that Python code run meanwhile can do what it likes to the keys. `slot` is the
    // last one's value, pending while that child is converted; nothing else is added meanwhile.
    Mapping map;
    SettingValue* slot = nullptr;
    // Where map puts the entries of a small dict: process memory of the frame's own, kept with
    // it from one conversion to the next, so that the only tree memory a small dict takes is
    // the finished mapping's.
    static constexpr std::size_t kRoom = 32;
    std::unique_ptr<unsigned char[]> room;  // bytes only: entries pass through, never die here

    // map, empty, made ready for a dict of `size` entries.
    void ready_map(std::size_t size) {
      if (size > kRoom) {
        map.reserve(size);
        return;
      }
      if (!room) room.reset(new unsigned char[kRoom * sizeof(Mapping::Entry)]);
      map.lend_room(reinterpret_cast<Mapping::Entry*>(room.get()), kRoom);
    }
  };

  Frame& top() noexcept { return frames_[depth_ - 1]; }
  // The scratch frame of plain() at depth, made with every one above it.
  Frame& plain_frame(std::size_t depth);
  // A frame for the container obj (not a scalar), or the failure of its first steps.
  Status start(PyRef obj);
  Status push(Walk walk, PyRef obj);
  void pop() noexcept {
    Frame& frame = top();
    if (frame.walk == Walk::DictLive) --live_dicts_;
    frame.source = PyRef();
    frame.keys = PyRef();
    frame.values = PyRef();
    --depth_;  // still counted by the recursion check until Python code runs
  }
  Status before_python_code();

  Status start_mapping();
  Status start_fields(PyObject* fields);
  // The next child of the frame into `next`, or a null reference when the frame is done. Scalars
  // of the exact builtin containers are added on the way.
  Status advance(Frame& frame, PyRef& next);
  static SettingValue finish(Frame& frame) {
    if (!frame.is_map) {
      // The items' room stays with the frame, for the next list at this depth.
      SettingValue list = SettingValue::list(std::span<SettingValue>(frame.items));
      frame.items.clear();
      return list;
    }
    // Python dicts of settings come in insertion order, seldom sorted. Of entries with equal
    // keys the last one taken wins, as a later assignment would.
    frame.map.finish();
    return SettingValue::map_from(frame.map);  // the frame keeps the room for its next one
  }
  static Status add_scalar(Frame& frame, PyObject* item) {
    auto value = from_scalar(item);
    if (!value) return std::move(value.error());
    add(frame, value.take());
    return Ok{};
  }
  // A mapping's next child starts with its key; its value comes with add().
  static Status add_key(Frame& frame, PyObject* key) {
    std::string_view text;
    ORN_TRY(key_view(key, text));
    frame.slot = &frame.map.append_slot(text);
    return Ok{};
  }
  static void add(Frame& frame, SettingValue value) {
    if (frame.is_map) {
      *frame.slot = std::move(value);
    } else {
      frame.items.push_back(std::move(value));
    }
  }

  // The frames of the last finished conversion, all unused, kept for the next one: deep data
  // would otherwise grow a new stack every time. A conversion started while another runs (from
  // Python code that the first one called, in this thread or another) gets a new stack. Every
  // conversion runs with the interpreter lock held, so one spare for the process is as safe as
  // one per thread, and cheaper: each use of a thread-local of a loaded module is a call.
  static std::vector<Frame> spare_frames_;

  std::vector<Frame> frames_;  // frames_[0, depth_) are in use
  std::size_t depth_ = 0;
  std::size_t live_dicts_ = 0;  // DictLive frames in use
  // Levels counted by the interpreter's recursion check: from kUncountedLevels on the deepest
  // level so far, and before Python code runs exactly the current depth. So a level is counted
  // once, not once per container, and the check still refuses the same container and shows
  // Python code the depth it runs at.
  std::size_t entered_ = 0;
};

std::vector<FromPython::Frame> FromPython::spare_frames_;

Status FromPython::push(Walk walk, PyRef obj) {
  if (depth_ == frames_.size()) frames_.emplace_back();
  if (depth_ >= kUncountedLevels && !count_levels(entered_, depth_ + 1)) {
    return interpreter_failure();
  }
  Frame& frame = frames_[depth_++];
  frame.walk = walk;
  frame.is_map = false;
  frame.source = std::move(obj);
  frame.index = 0;
  frame.count = 0;
  if (walk == Walk::DictLive) ++live_dicts_;
  return Ok{};
}

Status FromPython::before_python_code() {
  for (; entered_ > depth_; --entered_) leave_level();
  if (!count_levels(entered_, depth_)) return interpreter_failure();
  // Frames walked in place all lie above those an earlier call turned, so the scan from the top
  // ends soon after the last of them.
  for (std::size_t i = depth_; live_dicts_ > 0; --i) {
    Frame& frame = frames_[i - 1];
    if (frame.walk != Walk::DictLive) continue;
    PyObject* dict = frame.source.get();
    frame.keys = PyRef::steal(PyDict_Keys(dict));
    if (!frame.keys) return interpreter_failure();
    frame.values = PyRef::steal(PyDict_Values(dict));
    if (!frame.values) return interpreter_failure();
    frame.walk = Walk::Keyed;
    frame.index = frame.count;  // entries already taken: the same position in dict order
    frame.count = PyList_GET_SIZE(frame.keys.get());
    --live_dicts_;
  }
  return Ok{};
}

// A non-exact dict or a Mapping on the top frame: a dataclass if it has fields, else by lists of
// its keys and values taken first, and as many of them as its length says.
Status FromPython::start_mapping() {
  ORN_TRY(before_python_code());
  Frame& frame = top();
  PyObject* obj = frame.source.get();
  auto fields = dataclass_fields(obj);
  if (!fields) return std::move(fields.error());
  if (fields.value()) return start_fields(fields.value().get());
  frame.walk = Walk::Keyed;
  frame.is_map = true;
  frame.keys = PyRef::steal(PyMapping_Keys(obj));
  if (!frame.keys) return interpreter_failure();
  frame.values = PyRef::steal(PyMapping_Values(obj));
  if (!frame.values) return interpreter_failure();
  frame.count = PyMapping_Size(obj);
  if (frame.count < 0) return interpreter_failure();
  return Ok{};
}

// A dataclass instance on the top frame, whose source has these __dataclass_fields__: each field
// name looked up in the instance's __dict__ when its turn comes.
Status FromPython::start_fields(PyObject* fields) {
  Frame& frame = top();
  frame.walk = Walk::Fields;
  frame.is_map = true;
  if (!PyDict_Check(fields)) return mismatch(fields, "dict");
  frame.keys = PyRef::steal(PyDict_Keys(fields));
  if (!frame.keys) return interpreter_failure();
  frame.values = PyRef::steal(PyObject_GetAttrString(frame.source.get(), "__dict__"));
  if (!frame.values) return interpreter_failure();
  if (!PyDict_Check(frame.values.get())) return mismatch(frame.values.get(), "dict");
  frame.count = PyList_GET_SIZE(frame.keys.get());
  frame.map.reserve(static_cast<std::size_t>(frame.count));
  return Ok{};
}

Status FromPython::advance(Frame& frame, PyRef& next) {
  next = PyRef();  // the child before, converted by now
  switch (frame.walk) {
    // In the exact builtin containers, the bulk of any tree, scalars are converted right here,
    // borrowed: converting them runs no Python code that could drop them.
    case Walk::Tuple:
      while (frame.index < frame.count) {
        PyObject* item = PyTuple_GET_ITEM(frame.source.get(), frame.index++);
        if (SettingValue plain; plain_scalar(item, plain)) {
          add(frame, std::move(plain));
          continue;
        }
        if (!is_scalar(item)) {
          next = PyRef::borrow(item);
          return Ok{};
        }
        ORN_TRY(add_scalar(frame, item));
      }
      return Ok{};
    case Walk::List:
      while (frame.index < frame.count) {
        // The length was taken once, as len() would. Converting an item can run Python code
        // that shrinks the list, so each index is checked again and each container item held
        // while in use.
        if (frame.index >= PyList_GET_SIZE(frame.source.get())) {
          PyErr_SetString(PyExc_IndexError, "list index out of range");
          return interpreter_failure();
        }
        PyObject* item = PyList_GET_ITEM(frame.source.get(), frame.index++);
        if (SettingValue plain; plain_scalar(item, plain)) {
          add(frame, std::move(plain));
          continue;
        }
        if (!is_scalar(item)) {
          next = PyRef::borrow(item);
          return Ok{};
        }
        ORN_TRY(add_scalar(frame, item));
      }
      return Ok{};
    case Walk::Indexed:
      if (frame.index == frame.count) return Ok{};
      ORN_TRY(before_python_code());
      next = PyRef::steal(PySequence_GetItem(frame.source.get(), frame.index++));
      if (!next) return interpreter_failure();
      return Ok{};
    case Walk::Set:
      if (!PyAnySet_CheckExact(frame.source.get())) ORN_TRY(before_python_code());
      next = PyRef::steal(PyIter_Next(frame.keys.get()));
      if (!next && PyErr_Occurred()) return interpreter_failure();
      return Ok{};
    case Walk::DictLive: {
      PyObject* key = nullptr;
      PyObject* item = nullptr;
      while (PyDict_Next(frame.source.get(), &frame.index, &key, &item)) {
        ++frame.count;
        ORN_TRY(add_key(frame, key));
        if (plain_scalar(item, *frame.slot)) continue;
        if (!is_scalar(item)) {
          next = PyRef::borrow(item);  // held: converting it can run Python code
          return Ok{};
        }
        ORN_TRY(add_scalar(frame, item));
      }
      return Ok{};
    }
    case Walk::Keyed: {
      if (frame.index == frame.count) return Ok{};
      PyRef key = PyRef::steal(PySequence_GetItem(frame.keys.get(), frame.index));
      if (!key) return interpreter_failure();
      ORN_TRY(add_key(frame, key.get()));
      next = PyRef::steal(PySequence_GetItem(frame.values.get(), frame.index++));
      if (!next) return interpreter_failure();
      return Ok{};
    }
    case Walk::Fields: {
      if (frame.index == frame.count) return Ok{};
      PyObject* name = PyList_GET_ITEM(frame.keys.get(), frame.index++);
      ORN_TRY(add_key(frame, name));
      ORN_TRY(before_python_code());  // a str subclass's __hash__, an odd key's __eq__
      next = PyRef::borrow(PyDict_GetItemWithError(frame.values.get(), name));
      if (!next) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
        return interpreter_failure();
      }
      return Ok{};
    }
  }
  return internal_error("unknown conversion frame");
}

// Everything but a scalar: a container gets a frame, anything else fails. The order of the tests
// is part of the contract: the builtin types first, then the abstract classes, the dataclass
// attribute last.
Status FromPython::start(PyRef held) {
  PyObject* obj = held.get();
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    bool is_tuple = PyTuple_CheckExact(obj);
    bool is_list = PyList_CheckExact(obj);
    Py_ssize_t real = PyList_Check(obj) ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
    ORN_TRY(push(is_tuple ? Walk::Tuple : is_list ? Walk::List : Walk::Indexed, std::move(held)));
    Py_ssize_t count = real;
    if (!is_tuple && !is_list) {
      ORN_TRY(before_python_code());
      count = PyObject_Length(obj);
      if (count < 0) return interpreter_failure();
      ORN_TRY(check_storable(count));
    }
    Frame& frame = top();
    frame.count = count;
    frame.items.reserve(static_cast<std::size_t>(std::min(count, real)));
    return Ok{};
  }
  if (PyDict_Check(obj)) {
    // An exact dict cannot carry __dataclass_fields__: neither dict nor its instances take
    // attributes. Skipping the lookup spares an AttributeError per dict.
    if (PyDict_CheckExact(obj)) {
      ORN_TRY(push(Walk::DictLive, std::move(held)));
      top().is_map = true;
      top().ready_map(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
      return Ok{};
    }
    ORN_TRY(push(Walk::Keyed, std::move(held)));
    return start_mapping();
  }
  if (PyBytes_Check(obj)) {
    return conversion_failure("invalid type: byte array, expected any valid JSON value");
  }
  if (PyByteArray_Check(obj)) return mismatch(obj, "bytes");
  if (PyAnySet_Check(obj)) {
    ORN_TRY(push(Walk::Set, std::move(held)));
    if (!PyAnySet_CheckExact(obj)) ORN_TRY(before_python_code());  // its own __iter__
    Frame& frame = top();
    frame.keys = PyRef::steal(PyObject_GetIter(obj));
    if (!frame.keys) return interpreter_failure();
    frame.items.reserve(static_cast<std::size_t>(PySet_GET_SIZE(obj)));
    return Ok{};
  }
  // Everything below may run Python code.
  ORN_TRY(before_python_code());
  auto classes = abc_classes();
  if (!classes) return std::move(classes.error());
  auto is_sequence = is_instance(obj, classes.value()->sequence);
  if (!is_sequence) return std::move(is_sequence.error());
  if (is_sequence.value()) {
    ORN_TRY(push(Walk::Indexed, std::move(held)));
    Py_ssize_t first = PyObject_Length(obj);
    if (first < 0) return interpreter_failure();
    Py_ssize_t second = PyObject_Length(obj);
    if (second < 0) return interpreter_failure();
    if (first != second) {
      return conversion_failure("expected sequence of length " + std::to_string(first) + ", got " +
                                std::to_string(second));
    }
    ORN_TRY(check_storable(second));
    top().count = second;  // nothing verifies it: the items grow as they come
    return Ok{};
  }
  auto is_mapping = is_instance(obj, classes.value()->mapping);
  if (!is_mapping) return std::move(is_mapping.error());
  if (is_mapping.value()) {
    ORN_TRY(push(Walk::Keyed, std::move(held)));
    return start_mapping();
  }
  auto fields = dataclass_fields(obj);
  if (!fields) return std::move(fields.error());
  if (fields.value()) {
    ORN_TRY(push(Walk::Fields, std::move(held)));
    return start_fields(fields.value().get());
  }
  return std::move(unsupported(obj).error());
}

Result<SettingValue> FromPython::run(PyObject* root) {
  {
    frames_.reserve(kUncountedLevels);  // plain() holds references into frames_
    SettingValue done;
    if (plain(root, done, 0)) return done;
    drop_plain_scratch();
  }
  PyRef next = PyRef::borrow(root);
  for (;;) {
    if (is_scalar(next.get())) {
      auto value = from_scalar(next.get());
      if (!value || depth_ == 0) return value;
      add(top(), value.take());
    } else {
      ORN_TRY(start(std::move(next)));
    }
    // The next child of the innermost unfinished container; finished ones go to their parents.
    for (;;) {
      ORN_TRY(advance(top(), next));
      if (next) break;
      SettingValue done = finish(top());
      pop();
      if (depth_ == 0) return done;
      add(top(), std::move(done));
    }
  }
}

bool FromPython::plain(PyObject* obj, SettingValue& out, std::size_t depth) {
  if (plain_scalar(obj, out)) return true;
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) {  // not ASCII: its UTF-8, made once and kept by the str
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) {
      PyErr_Clear();  // the walk raises it again
      return false;
    }
    out = SettingValue::string(std::string_view(text, static_cast<std::size_t>(size)));
    return true;
  }
  if (depth == kUncountedLevels) return false;
  if (type == &PyDict_Type) {
    // No Python code runs here, so the dict keeps its size: a small one gets its mapping first,
    // its values then follow it in memory, and its entries are made in place.
    const auto size = static_cast<std::size_t>(PyDict_GET_SIZE(obj));
    if (size != 0 && size <= Mapping::kSmallSort) {
      out = SettingValue::map_with_room(size);
      if (!plain_entries(obj, out.as_map(), depth)) return false;
      out.as_map().finish();
      return true;
    }
    Frame& frame = plain_frame(depth);
    frame.ready_map(size);
    if (!plain_entries(obj, frame.map, depth)) return false;
    frame.map.finish();
    out = SettingValue::map_from(frame.map);
    return true;
  }
  const bool is_list = type == &PyList_Type;
  if (!is_list && type != &PyTuple_Type) return false;
  const Py_ssize_t size = is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
  PyObject** items = is_list ? reinterpret_cast<PyListObject*>(obj)->ob_item
                             : reinterpret_cast<PyTupleObject*>(obj)->ob_item;
  Frame& frame = plain_frame(depth);
  frame.items.resize(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    SettingValue& slot = frame.items[static_cast<std::size_t>(i)];
    if (!plain_scalar(items[i], slot) && !plain(items[i], slot, depth + 1)) return false;
  }
  out = SettingValue::list(std::span<SettingValue>(frame.items));
  frame.items.clear();
  return true;
}

FromPython::Frame& FromPython::plain_frame(std::size_t depth) {
  while (frames_.size() <= depth) frames_.emplace_back();  // within the room reserved
  plain_depth_ = std::max(plain_depth_, depth + 1);
  return frames_[depth];
}

bool FromPython::plain_entries(PyObject* dict, Mapping& map, std::size_t depth) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  while (PyDict_Next(dict, &position, &key, &item)) {
    std::string_view text;
    if (!Py_IS_TYPE(key, &PyUnicode_Type)) return false;
    if (!ascii_view(key, text)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
      if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
      }
      text = std::string_view(utf8, static_cast<std::size_t>(size));
    }
    SettingValue& slot = map.append_slot(text);
    if (!plain_scalar(item, slot) && !plain(item, slot, depth + 1)) return false;
  }
  return true;
}

void FromPython::drop_plain_scratch() noexcept {
  for (std::size_t i = 0; i < plain_depth_; ++i) {
    frames_[i].map.clear();
    frames_[i].items.clear();
  }
  plain_depth_ = 0;
}

// --- SettingValue to Python ----------------------------------------------------------------------

bool is_ascii(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t seen = 0;
  for (; n >= 8; p += 8, n -= 8) seen |= load_word(p);
  if (n > 0) seen |= short_word(p, n);  // two overlapping loads, not a loop over the last bytes
  return (seen & 0x8080808080808080ULL) == 0;
}

// Decodes valid UTF-8 into the units of a str made at its final length, one unit per character.
// Gives false, having written nothing past out + count, if a sequence runs past the end.
template <typename Unit>
bool decode_into(Unit* out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    std::uint32_t c = *p;
    std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (static_cast<std::size_t>(end - p) < n) return false;
    switch (n) {
      case 2:
        c = ((c & 0x1F) << 6) | (p[1] & 0x3F);
        break;
      case 3:
        c = ((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        break;
      case 4:
        c = ((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        break;
      default:
        break;
    }
    *out++ = static_cast<Unit>(c);
    p += n;
  }
  return true;
}

// decode_into for text whose characters all lie below U+0100, most non-ASCII settings text (é,
// ü, ñ): ASCII eight bytes at a time, and each two-byte character by one shift. A word is
// stored whole only when all of it is ASCII, as only then does the str have room for it.
bool decode_latin1(Py_UCS1* out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      const std::uint64_t high = word & 0x8080808080808080ULL;
      if (high == 0) {
        std::memcpy(out, p, sizeof word);
        p += 8;
        out += 8;
        continue;
      }
      if constexpr (std::endian::native == std::endian::little) {
        for (int ascii = std::countr_zero(high) >> 3; ascii > 0; --ascii) *out++ = *p++;
      }
    }
    const unsigned c = *p;
    if (c < 0x80) {
      *out++ = static_cast<Py_UCS1>(c);
      ++p;
      continue;
    }
    if (end - p < 2) return false;
    *out++ = static_cast<Py_UCS1>((c << 6) | (p[1] & 0x3F));  // the lead's low two bits on top
    p += 2;
  }
  return true;
}

// Stored strings are valid UTF-8. ASCII text (nearly every key and most values) is copied into a
// compact str directly. Other text is measured first, its length and widest character read off
// its lead bytes, so that the str is made once at its final size and kind and decoded into; the
// interpreter's decoder would build it in a larger buffer and shrink it after.
// Null, with the interpreter's error set, when the str cannot be made.
PyRef text_object(std::string_view text) {
  auto size = static_cast<Py_ssize_t>(text.size());
  if (is_ascii(text)) {
    PyRef str = PyRef::steal(PyUnicode_New(size, 127));
    if (str) std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
    return str;
  }
  // Counted a word at a time: the characters are the bytes that continue none, and the widest
  // lead gives the kind. C2 and C3 lead U+0080..U+00FF, up to EF the rest of the first plane,
  // beyond it the others. Adding to a byte's low seven bits tells whether it reaches a bound,
  // without a carry into the next byte.
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  constexpr std::uint64_t kLow = ~kHigh;
  std::size_t continuations = 0;
  std::uint64_t from_c4 = 0;
  std::uint64_t from_f0 = 0;
  auto count = [&](std::uint64_t w) {
    const std::uint64_t high = w & kHigh;
    // One per byte 10xxxxxx, summed by a multiply (without a popcount instruction everywhere).
    continuations +=
        static_cast<std::size_t>((((high & ~(w << 1)) >> 7) * 0x0101010101010101ULL) >> 56);
    from_c4 |= ((w & kLow) + 0x3C3C3C3C3C3C3C3CULL) & high;
    from_f0 |= ((w & kLow) + 0x1010101010101010ULL) & high;
  };
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) count(load_word(p));
  if (n > 0) count(short_word(p, n));
  const auto length = static_cast<Py_ssize_t>(text.size() - continuations);
  Py_UCS4 widest = from_f0 != 0 ? 0x10FFFF : from_c4 != 0 ? 0xFFFF : 0xFF;
  PyRef str = PyRef::steal(PyUnicode_New(length, widest));
  if (!str) return str;
  bool decoded = false;
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND:
      decoded = decode_latin1(PyUnicode_1BYTE_DATA(str.get()), text);
      break;
    case PyUnicode_2BYTE_KIND:
      decoded = decode_into(PyUnicode_2BYTE_DATA(str.get()), text);
      break;
    default:
      decoded = decode_into(PyUnicode_4BYTE_DATA(str.get()), text);
      break;
  }
  if (decoded) return str;
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), size, nullptr));  // reports the bad text
}

// Settings trees repeat the same key names in many groups. Every distinct name of one result
// becomes one str, found again through an open-addressing index that grows with the tree: the
// result shares its key objects as a parsed JSON document does, and the interpreter hashes each
// name once. The index holds only positions and hash tags, so it stays small and a lookup that
// misses rarely touches a name.
class KeyTable {
 public:
  KeyTable() noexcept : index_(std::move(spare_.index)), names_(std::move(spare_.names)) {
    index_.clear();
    names_.clear();
  }
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;
  // The emptied vectors are kept for the next conversion (as in FromPython): a large result would
  // otherwise fault in fresh pages for its index every time.
  ~KeyTable() {
    names_.clear();
    extra_.clear();
    if (index_.capacity() <= kKeptSlots && index_.capacity() > spare_.index.capacity()) {
      spare_.index = std::move(index_);
    }
    if (names_.capacity() <= kKeptSlots / 2 && names_.capacity() > spare_.names.capacity()) {
      spare_.names = std::move(names_);
    }
  }

  static std::uint64_t hash_of(std::string_view name) {
    const char* p = name.data();
    std::size_t n = name.size();
    std::uint64_t h = 0x9e3779b97f4a7c15ULL * (n + 1);
    for (; n >= 8; p += 8, n -= 8) {
      h = (h ^ load_word(p)) * 0xbf58476d1ce4e5b9ULL;
      h ^= h >> 31;
    }
    if (n > 0) h = (h ^ short_word(p, n)) * 0x94d049bb133111ebULL;
    return h ^ (h >> 29);
  }

  // Asks for the slot where a lookup of hash starts. A wide result's index is larger than the
  // caches and nearly every first probe would miss; fetched one entry ahead, it arrives while
  // the entry before is being made.
  void prefetch(std::uint64_t hash) const noexcept {
    if (!index_.empty()) __builtin_prefetch(&index_[hash & (index_.size() - 1)]);
  }

  // A borrowed reference, valid while the table lives, or null with the interpreter's error set;
  // hash is hash_of(name).
  PyObject* get(std::string_view name, std::uint64_t hash) {
    if (names_.size() * 2 >= index_.size()) {
      if (names_.size() >= kMaxNames) return fresh(name);
      grow();
    }
    std::size_t mask = index_.size() - 1;
    auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = index_[i];
      if (slot.position == 0) {
        PyRef str = text_object(name);
        if (!str) return nullptr;
        names_.push_back({name, hash, std::move(str)});  // name views the tree
        slot = {static_cast<std::uint32_t>(names_.size()), tag};
        return names_.back().str.get();
      }
      if (slot.tag == tag) {
        const Name& known = names_[slot.position - 1];
        if (same_bytes(known.name, name)) return known.str.get();
      }
    }
  }

 private:
  struct Slot {
    std::uint32_t position;  // 1 + the name's place in names_; 0 for a free slot
    std::uint32_t tag;       // the hash's high half
  };
  struct Name {
    std::string_view name;
    std::uint64_t hash;
    PyRef str;
  };
  static constexpr std::size_t kMaxNames = 0x7fffffff;
  // The most index slots kept between conversions (2 MB, with 4 MB of names): enough for any
  // ordinary settings file, without holding on to the tables of an exceptionally wide result.
  static constexpr std::size_t kKeptSlots = std::size_t{1} << 18;

  // Past the index's reach a name is simply made again.
  PyObject* fresh(std::string_view name) {
    PyRef str = text_object(name);
    if (!str) return nullptr;
    extra_.push_back(std::move(str));
    return extra_.back().get();
  }

  void grow() {
    index_.assign(index_.empty() ? 64 : index_.size() * 2, Slot{0, 0});
    std::size_t mask = index_.size() - 1;
    for (std::size_t k = 0; k < names_.size(); ++k) {
      std::size_t i = names_[k].hash & mask;
      while (index_[i].position != 0) i = (i + 1) & mask;
      index_[i] = {static_cast<std::uint32_t>(k + 1),
                   static_cast<std::uint32_t>(names_[k].hash >> 32)};
    }
  }

  struct Spare {
    std::vector<Slot> index;
    std::vector<Name> names;
  };
  static Spare spare_;

  std::vector<Slot> index_;
  std::vector<Name> names_;
  std::vector<PyRef> extra_;
};

KeyTable::Spare KeyTable::spare_;

bool is_container(const SettingValue& value) {
  return value.kind() == SettingValue::Kind::List || value.kind() == SettingValue::Kind::Map;
}

// The Python object of a scalar, or null with the interpreter's error set. Plain references on
// this path, not results: it runs once per value of the tree.
PyRef scalar_object(const SettingValue& value) {
  using Kind = SettingValue::Kind;
  switch (value.kind()) {
    case Kind::Null:
      return PyRef::borrow(Py_None);
    case Kind::Bool:
      return PyRef::borrow(value.as_bool() ? Py_True : Py_False);
    case Kind::UInt:
      return PyRef::steal(PyLong_FromUnsignedLongLong(value.as_uint()));
    case Kind::Int:
      return PyRef::steal(PyLong_FromLongLong(value.as_int()));
    case Kind::Float:
      return PyRef::steal(PyFloat_FromDouble(value.as_double()));
    case Kind::String:
      return text_object(value.as_string());
    case Kind::List:
    case Kind::Map:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "not a scalar value");
  return PyRef();
}

Result<PyRef> scalar_to_python(const SettingValue& value) {
  PyRef made = scalar_object(value);
  if (!made) return interpreter_failure();
  return made;
}

// value_to_python as a loop over an explicit stack of the containers being made, innermost last.
// A dict is made when its frame starts and gets each entry as soon as its value is made; a list
// is made when all its items are, at its final length, so no list with empty slots is ever
// visible to the collector or to its callbacks.
class ToPython {
 public:
  ToPython() noexcept : frames_(std::move(spare_.frames)), items_(std::move(spare_.items)) {}
  ToPython(const ToPython&) = delete;
  ToPython& operator=(const ToPython&) = delete;
  ~ToPython() {
    for (std::size_t i = 0; i < entered_; ++i) leave_level();
    frames_.clear();  // after a failure: what was made so far is released
    items_.clear();
    if (frames_.capacity() > spare_.frames.capacity()) spare_.frames = std::move(frames_);
    if (items_.capacity() > spare_.items.capacity()) spare_.items = std::move(items_);
  }

  Result<PyRef> run(const SettingValue& root) {
    if (!is_container(root)) return scalar_to_python(root);
    ORN_TRY(push(root));
    for (;;) {
      // Each frame runs through its scalars in a loop of its own and stops at a container child,
      // which gets a frame, or at its end.
      Frame& frame = top();
      if (frame.dict) {
        for (; frame.entry != frame.entries_end; ++frame.entry) {
          std::uint64_t hash = frame.next_hash;
          if (auto following = std::next(frame.entry); following != frame.entries_end) {
            frame.next_hash = KeyTable::hash_of(following->first);
            keys_.prefetch(frame.next_hash);
            fetch_ahead(following->second);
          }
          PyObject* key = keys_.get(frame.entry->first, hash);
          if (key == nullptr) return interpreter_failure();
          const SettingValue& child = frame.entry->second;
          if (is_container(child)) {
            frame.key = PyRef::borrow(key);
            break;
          }
          PyRef item = scalar_object(child);
          if (!item || PyDict_SetItem(frame.dict.get(), key, item.get()) < 0) {
            return interpreter_failure();
          }
        }
        if (frame.entry != frame.entries_end) {
          const SettingValue& child = (frame.entry++)->second;
          ORN_TRY(push(child));
          continue;
        }
        PyRef dict = std::move(frame.dict);
        pop();
        if (depth_ == 0) return dict;
        ORN_TRY(deliver(std::move(dict)));
      } else {
        if (frame.flat) {
          auto list = flat_list(frame);
          if (!list) return list;
          pop();
          if (depth_ == 0) return list;
          ORN_TRY(deliver(std::move(list.value())));
          continue;
        }
        for (; frame.item != frame.items_end; ++frame.item) {
          if (is_container(*frame.item)) break;
          PyRef item = scalar_object(*frame.item);
          if (!item) return interpreter_failure();
          items_.push_back(std::move(item));
        }
        if (frame.item != frame.items_end) {
          const SettingValue& child = *frame.item++;
          ORN_TRY(push(child));
          continue;
        }
        auto list = finish_list(frame);
        if (!list) return list;
        pop();
        if (depth_ == 0) return list;
        ORN_TRY(deliver(std::move(list.value())));
      }
    }
  }

 private:
  struct Frame {
    PyRef dict;  // a mapping's dict; null for a list
    PyRef key;   // a mapping's key for the container child being made
    Mapping::const_iterator entry{}, entries_end{};
    const SettingValue* item = nullptr;
    const SettingValue* items_end = nullptr;
    std::uint64_t next_hash = 0;  // of the key under entry
    std::size_t base = 0;         // a list's first item in items_
    bool flat = false;            // a list of scalars only
  };

  // The interpreter's recursion check counts the deepest level reached, not the current one, and
  // only from kUncountedLevels on: the first time the stack grows past it is the first time the
  // current depth does, so the check fails at the same container, and shallow data costs no
  // check at all. No Python code runs meanwhile that could see the count.
  Status push(const SettingValue& value) {
    if (depth_ >= kUncountedLevels && !count_levels(entered_, depth_ + 1)) {
      return interpreter_failure();
    }
    // Frames stay for the next container at their depth: a new one would be zeroed whole.
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& frame = frames_[depth_++];
    if (value.kind() == SettingValue::Kind::Map) {
      frame.entry = value.as_map().begin();
      frame.entries_end = value.as_map().end();
      if (frame.entry != frame.entries_end) frame.next_hash = KeyTable::hash_of(frame.entry->first);
      // Not presized: the interpreter's presized tables take any key type and so are a third
      // larger than the str-keyed tables that growing from empty gives, and slower to read.
      frame.dict = PyRef::steal(PyDict_New());
      if (!frame.dict) return interpreter_failure();
    } else {
      frame.dict = PyRef();
      const auto items = value.as_list();
      frame.item = items.data();
      frame.items_end = items.data() + items.size();
      frame.base = items_.size();
      frame.flat = std::none_of(frame.item, frame.items_end, is_container);
    }
    return Ok{};
  }

  Frame& top() noexcept { return frames_[depth_ - 1]; }

  // A tree's long strings and containers live in blocks of their own, each a likely cache miss
  // when reached; asked for one entry ahead, they arrive while the entry before is being made.
  // (A list's items were allocated one after another, which the hardware already follows.)
  static void fetch_ahead(const SettingValue& value) noexcept {
    if (const void* block = value.heap_block()) __builtin_prefetch(block);
  }

  // The frame's references have been handed on: its dict to the parent, its key with the child.
  void pop() noexcept { --depth_; }

  // A finished container goes to its parent: an entry of its dict or the next item of its list.
  Status deliver(PyRef made_child) {
    Frame& parent = top();
    if (!parent.dict) {
      items_.push_back(std::move(made_child));
      return Ok{};
    }
    PyRef key = std::move(parent.key);
    if (PyDict_SetItem(parent.dict.get(), key.get(), made_child.get()) < 0) {
      return interpreter_failure();
    }
    return Ok{};
  }

  // A list of scalars, the bulk of most data's lists, is made at its length and filled in place.
  // Its empty slots are never seen: the collector is paused and nothing here runs Python code.
  static Result<PyRef> flat_list(const Frame& frame) {
    auto size = static_cast<Py_ssize_t>(frame.items_end - frame.item);
    PyRef list = PyRef::steal(PyList_New(size));
    if (!list) return interpreter_failure();
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyRef item = scalar_object(frame.item[i]);
      if (!item) return interpreter_failure();
      PyList_SET_ITEM(list.get(), i, item.release());
    }
    return list;
  }

  Result<PyRef> finish_list(const Frame& frame) {
    std::size_t size = items_.size() - frame.base;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) return interpreter_failure();
    for (std::size_t i = 0; i < size; ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items_[frame.base + i].release());
    }
    items_.resize(frame.base);
    return list;
  }

  // The emptied stacks of the last conversion, kept for the next one, as in FromPython.
  struct Spare {
    std::vector<Frame> frames;
    std::vector<PyRef> items;
  };
  static Spare spare_;

  std::vector<Frame> frames_;  // frames_[0, depth_) are in use
  std::size_t depth_ = 0;
  std::size_t entered_ = 0;  // levels counted by the recursion check
  KeyTable keys_;
  // Items of the lists under construction, innermost last; one stack for the whole conversion
  // instead of a vector per list.
  std::vector<PyRef> items_;
};

ToPython::Spare ToPython::spare_;

}  // namespace

Result<SettingValue> value_from_python(PyObject* obj) {
  // The walker is gone, and every nesting level it counted given back, before the error's text is
  // made.
  if (is_scalar(obj)) {
    auto value = from_scalar(obj);
    if (!value) return finished(std::move(value.error()));
    return value;
  }
  auto value = FromPython().run(obj);
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
  if (!is_container(value)) {
    auto made = scalar_to_python(value);
    if (!made) return finished(std::move(made.error()));
    return made;
  }
  CollectorPause pause;
  auto made = ToPython().run(value);
  if (!made) return finished(std::move(made.error()));
  return made;
}

}  // namespace orn
