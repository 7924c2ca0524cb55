// The module `_orn_core` and its one class, OrnSettingEngine.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "drivers/drivers.hpp"
#include "engine/chunk_memory.hpp"
#include "engine/engine.hpp"
#include "engine/tree_memory.hpp"

// Python 3.12's header declares the tracemalloc functions without C linkage when it is read as
// C++: these name them by their symbols.
extern "C" int orn_trace_track(unsigned int domain, std::uintptr_t start,
                               std::size_t length) __asm__("PyTraceMalloc_Track");
extern "C" int orn_trace_untrack(unsigned int domain,
                                 std::uintptr_t start) __asm__("PyTraceMalloc_Untrack");

namespace orn {
namespace {

// Everything one engine owns, released in declaration order by release_in_order().
struct EngineState {
  std::string path;
  SettingsEngine engine;
  Drivers driver;

  void release_in_order() noexcept {
    std::string().swap(path);
    engine.release();  // the tree, then the group stack
    driver.release();  // last: a custom driver's finalizer may run Python code
  }
};

// The per-instance access word: free, held shared by n calls, or held exclusively (-1). It keeps
// begin_group/end_group from overlapping any other call on the same engine, which can only happen
// by re-entry (a custom driver calling back) or between threads. Like the engine's guards it
// refuses instead of waiting, with the binding's own messages. Every method reads and writes it
// with the interpreter lock held, and never lets the lock go between a test and its update, so a
// plain counter is enough here: this word sits on the path of every call.
class AccessWord {
 public:
  bool try_shared() noexcept {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  bool try_exclusive() noexcept {
    if (state_ != 0) return false;
    state_ = -1;
    return true;
  }
  void release() noexcept { state_ = state_ < 0 ? 0 : state_ - 1; }

 private:
  std::int64_t state_ = 0;
};

// Holds the access word until destroyed.
class HeldAccess {
 public:
  explicit HeldAccess(AccessWord* word) noexcept : word_(word) {}
  HeldAccess(HeldAccess&& other) noexcept : word_(std::exchange(other.word_, nullptr)) {}
  HeldAccess& operator=(HeldAccess&&) = delete;
  ~HeldAccess() {
    if (word_ != nullptr) word_->release();
  }

 private:
  AccessWord* word_;
};

struct EngineObject {
  PyObject_HEAD EngineState state;
  AccessWord borrow_flag;
};

PyTypeObject* engine_type = nullptr;  // created once per process, never freed

enum class Access { Shared, Exclusive };

Result<HeldAccess> borrow(EngineObject* obj, Access access) {
  if (access == Access::Exclusive) {
    if (!obj->borrow_flag.try_exclusive()) return runtime_error("Already borrowed");
  } else if (!obj->borrow_flag.try_shared()) {
    return runtime_error("Already mutably borrowed");
  }
  return HeldAccess(&obj->borrow_flag);
}

Result<EngineObject*> receiver(PyObject* self) {
  if (engine_type == nullptr || !PyObject_TypeCheck(self, engine_type)) {
    return type_error(type_mismatch_text(self, "OrnSettingEngine"));
  }
  return reinterpret_cast<EngineObject*>(self);
}

// Steps shared by every method: check the receiver, take the access word, run body with the
// engine state, release the word.
template <Access access, typename Body>
Result<PyRef> with_state(PyObject* self, Body&& body) {
  auto obj = receiver(self);
  if (!obj) return std::move(obj.error());
  auto held = borrow(obj.value(), access);
  if (!held) return std::move(held.error());
  return body(obj.value()->state);
}

PyRef none() { return PyRef::borrow(Py_None); }

Result<PyRef> new_str(std::string_view text) {
  PyRef str =
      PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) return fetch_error();
  return str;
}

Result<PyRef> str_list(Result<std::vector<std::string>> names) {
  if (!names) return std::move(names.error());
  const std::vector<std::string>& items = names.value();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return fetch_error();
  for (std::size_t i = 0; i < items.size(); ++i) {
    auto item = new_str(items[i]);
    if (!item) return std::move(item.error());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.value().release());
  }
  return list;
}

Result<PyRef> done(Status status) {
  if (!status) return std::move(status.error());
  return none();
}

// --- fast-call methods with one or two named parameters -----------------------------------

constexpr const char* kKey[] = {"key"};
constexpr const char* kKeyValue[] = {"key", "value"};
constexpr const char* kName[] = {"name"};
constexpr const char* kPathDriver[] = {"path", "driver"};

template <std::size_t N>
constexpr Signature signature(const char* function, const char* const (&names)[N],
                              std::size_t required = N) {
  return Signature{function, names, N, required};
}

// Matches the arguments, then runs body(state, text of the first argument, argv).
template <Access access, std::size_t N, typename Body>
PyObject* fastcall(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Body&& body) {
  return entry([&]() -> Result<PyRef> {
    PyObject* argv[N];
    // Nearly every call passes all its arguments by position: they need no matching.
    if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == static_cast<Py_ssize_t>(N)) {
      std::copy(args, args + N, argv);
    } else {
      ORN_TRY(match_arguments(sig, args, nargs, kwnames, argv));
    }
    return with_state<access>(self, [&](EngineState& state) -> Result<PyRef> {
      auto text = str_argument(argv[0], sig.names[0]);
      if (!text) return std::move(text.error());
      return body(state, text.value(), argv);
    });
  });
}

PyObject* engine_begin_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr Signature sig = signature("OrnSettingEngine.begin_group()", kName);
  return fastcall<Access::Exclusive, 1>(sig, self, args, nargs, kwnames,
                                        [](EngineState& state, std::string_view name, PyObject**) {
                                          return done(state.engine.begin_group(name));
                                        });
}

PyObject* engine_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr Signature sig = signature("OrnSettingEngine.contains()", kKey);
  return fastcall<Access::Shared, 1>(
      sig, self, args, nargs, kwnames,
      [](EngineState& state, std::string_view key, PyObject**) -> Result<PyRef> {
        auto found = state.engine.contains(key);
        if (!found) return std::move(found.error());
        return PyRef::borrow(found.value() ? Py_True : Py_False);
      });
}

PyObject* engine_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature sig = signature("OrnSettingEngine.value()", kKey);
  return fastcall<Access::Shared, 1>(
      sig, self, args, nargs, kwnames, [](EngineState& state, std::string_view key, PyObject**) {
        // Converted while both read guards are held: the result is one consistent snapshot.
        return state.engine.with_node(key, [](const SettingValue* node) -> Result<PyRef> {
          if (node == nullptr) return none();
          return value_to_python(*node);
        });
      });
}

PyObject* engine_set_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr Signature sig = signature("OrnSettingEngine.set_value()", kKeyValue);
  return fastcall<Access::Shared, 2>(
      sig, self, args, nargs, kwnames,
      [](EngineState& state, std::string_view key, PyObject** argv) -> Result<PyRef> {
        // Converted before any guard is taken: Python code run by the conversion may call back
        // into this engine.
        auto value = value_from_python(argv[1]);
        if (!value) return std::move(value.error());
        return done(state.engine.set_value(key, value.take()));
      });
}

PyObject* engine_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr Signature sig = signature("OrnSettingEngine.remove()", kKey);
  return fastcall<Access::Shared, 1>(sig, self, args, nargs, kwnames,
                                     [](EngineState& state, std::string_view key, PyObject**) {
                                       return done(state.engine.remove(key));
                                     });
}

// --- methods without arguments --------------------------------------------------------------

template <Access access, typename Body>
PyObject* noargs(PyObject* self, Body&& body) {
  return entry([&]() -> Result<PyRef> { return with_state<access>(self, body); });
}

PyObject* engine_end_group(PyObject* self, PyObject*) {
  return noargs<Access::Exclusive>(
      self, [](EngineState& state) { return done(state.engine.end_group()); });
}

PyObject* engine_group(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(self, [](EngineState& state) -> Result<PyRef> {
    auto joined = state.engine.group();
    if (!joined) return std::move(joined.error());
    return new_str(joined.value());
  });
}

PyObject* engine_all_keys(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(
      self, [](EngineState& state) { return str_list(state.engine.all_keys()); });
}

PyObject* engine_child_keys(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(
      self, [](EngineState& state) { return str_list(state.engine.child_keys()); });
}

PyObject* engine_child_groups(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(
      self, [](EngineState& state) { return str_list(state.engine.child_groups()); });
}

PyObject* engine_clear(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(self,
                                [](EngineState& state) { return done(state.engine.clear()); });
}

PyObject* engine_sync(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(self, [](EngineState& state) {
    return done(state.engine.with_root(
        [&](const SettingValue& root) { return state.driver.save(state.path, root); }));
  });
}

PyObject* engine_status(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(
      self, [](EngineState&) -> Result<PyRef> { return PyRef::steal(PyLong_FromLong(0)); });
}

PyObject* engine_is_writable(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(
      self, [](EngineState&) -> Result<PyRef> { return PyRef::borrow(Py_True); });
}

PyObject* engine_file_name(PyObject* self, PyObject*) {
  return noargs<Access::Shared>(self, [](EngineState& state) { return new_str(state.path); });
}

PyObject* engine_get_path(PyObject* self, void*) { return engine_file_name(self, nullptr); }

// --- construction and destruction -----------------------------------------------------------

PyObject* engine_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> Result<PyRef> {
    static constexpr Signature sig = signature("OrnSettingEngine.__new__()", kPathDriver, 1);
    PyObject* argv[2];
    ORN_TRY(match_arguments(sig, args, kwargs, argv));
    auto path = str_argument(argv[0], "path");
    if (!path) return std::move(path.error());
    auto driver = argv[1] == nullptr || argv[1] == Py_None
                      ? Result<Drivers>(Drivers(DriverKind::Json))
                      : Drivers::from_args(argv[1]);
    if (!driver) return std::move(driver.error());
    std::string path_text(path.value());
    // On failure the driver (and a custom driver's reference) is released on the way out.
    auto root = driver.value().load(path_text);
    if (!root) return std::move(root.error());
    // Every call reaches the engine holding the interpreter lock and keeps it while it takes or
    // releases a guard, so the guards need no locked instructions.
    EngineState state{std::move(path_text), SettingsEngine(root.take(), Callers::Serialized),
                      driver.take()};

    PyRef self = PyRef::steal(subtype->tp_alloc(subtype, 0));
    if (!self) return fetch_error();
    auto* obj = reinterpret_cast<EngineObject*>(self.get());
    new (&obj->state) EngineState(std::move(state));  // moves only: cannot throw
    new (&obj->borrow_flag) AccessWord();
    return self;
  });
}

void engine_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<EngineObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  obj->state.release_in_order();
  obj->state.~EngineState();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// --- the class and the module ---------------------------------------------------------------

#define ORN_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef engine_methods[] = {
    {"begin_group", ORN_FASTCALL(engine_begin_group), METH_FASTCALL | METH_KEYWORDS,
     "begin_group($self, name)\n--\n\n"},
    {"end_group", engine_end_group, METH_NOARGS, "end_group($self)\n--\n\n"},
    {"group", engine_group, METH_NOARGS, "group($self)\n--\n\n"},
    {"contains", ORN_FASTCALL(engine_contains), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, key)\n--\n\n"},
    {"value", ORN_FASTCALL(engine_value), METH_FASTCALL | METH_KEYWORDS,
     "value($self, key)\n--\n\n"},
    {"set_value", ORN_FASTCALL(engine_set_value), METH_FASTCALL | METH_KEYWORDS,
     "set_value($self, key, value)\n--\n\n"},
    {"remove", ORN_FASTCALL(engine_remove), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, key)\n--\n\n"},
    {"all_keys", engine_all_keys, METH_NOARGS, "all_keys($self)\n--\n\n"},
    {"child_keys", engine_child_keys, METH_NOARGS, "child_keys($self)\n--\n\n"},
    {"child_groups", engine_child_groups, METH_NOARGS, "child_groups($self)\n--\n\n"},
    {"clear", engine_clear, METH_NOARGS, "clear($self)\n--\n\n"},
    {"sync", engine_sync, METH_NOARGS, "sync($self)\n--\n\n"},
    {"status", engine_status, METH_NOARGS, "status($self)\n--\n\n"},
    {"is_writable", engine_is_writable, METH_NOARGS, "is_writable($self)\n--\n\n"},
    {"file_name", engine_file_name, METH_NOARGS, "file_name($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"path", engine_get_path, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_doc, const_cast<char*>("OrnSettingEngine(path, driver=None)\n--\n\n")},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "builtins.OrnSettingEngine",
    static_cast<int>(sizeof(EngineObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    engine_slots,
};

// The class, made on first use and shared by every module object of the process.
Result<PyObject*> engine_class() {
  if (engine_type != nullptr) return reinterpret_cast<PyObject*>(engine_type);
  PyObject* made = PyType_FromSpec(&engine_spec);
  if (made == nullptr) {
    PyRef cause = PyRef::steal(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_RuntimeError,
                    "An error occurred while initializing class OrnSettingEngine");
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), cause.release());
    return raised_error(std::move(error));
  }
  if (engine_type == nullptr) {
    engine_type = reinterpret_cast<PyTypeObject*>(made);  // kept for the life of the process
  } else {
    PyRef discard = PyRef::steal(made);
  }
  return reinterpret_cast<PyObject*>(engine_type);
}

// tracemalloc counts a tree's memory by the chunks it takes, under the Python code that made
// them grow.
void track_chunk(void* start, std::size_t length) {
  orn_trace_track(0, reinterpret_cast<std::uintptr_t>(start), length);
}
void untrack_chunk(void* start) { orn_trace_untrack(0, reinterpret_cast<std::uintptr_t>(start)); }

// Trees are built and freed with the interpreter lock held, so they can use chunk memory, which
// takes no lock of its own. A program run with PYTHONMALLOC set (a debug allocator, or malloc for
// a memory checker) gets the interpreter's allocator for every tree block instead, so that each
// block is checked on its own. The choice is made once, before the first tree exists: a module
// executed again, even after the environment has changed, hands over the same functions.
TreeMemory tree_memory_for_this_process() {
  static const TreeMemory chosen = [] {
    const char* setting = std::getenv("PYTHONMALLOC");
    if (setting != nullptr && *setting != '\0') return TreeMemory{&PyObject_Malloc, &PyObject_Free};
    watch_chunks(&track_chunk, &untrack_chunk);
    return chunk_memory();
  }();
  return chosen;
}

int module_exec(PyObject* module) {
  PyObject* result = entry([&]() -> Result<PyRef> {
    // The class and the conversion's caches are process-wide and hold the main interpreter's
    // objects; another interpreter must never reach them.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      PyErr_SetString(PyExc_ImportError,
                      "module _orn_core does not support loading in subinterpreters");
      return fetch_error();
    }
    if (!PyModule_Check(module)) return type_error(type_mismatch_text(module, "module"));
    use_tree_memory(tree_memory_for_this_process());
    auto cls = engine_class();
    if (!cls) return std::move(cls.error());
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_error();
      PyErr_Clear();
      all = PyRef::steal(PyList_New(0));
      if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fetch_error();
    } else if (!PyList_Check(all.get())) {
      return type_error(type_mismatch_text(all.get(), "list"));
    }
    PyRef name = PyRef::steal(PyUnicode_FromString("OrnSettingEngine"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) {
      std::string text = "could not append __name__ to __all__: " + fetch_exception_text();
      return internal_error(std::move(text));
    }
    if (PyModule_AddObjectRef(module, "OrnSettingEngine", cls.value()) < 0) return fetch_error();
    return none();
  });
  if (result == nullptr) return -1;
  PyRef discard = PyRef::steal(result);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_orn_core", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace orn

PyMODINIT_FUNC PyInit__orn_core() { return PyModuleDef_Init(&orn::module_def); }
