#include "drivers/drivers.hpp"

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "drivers/files.hpp"

namespace orn {

namespace {

// Full Unicode lower-casing of the text as given: str.lower of the exact str type, so a
// subclass's own `lower` is never called.
Result<PyRef> lowered_name(PyObject* name) {
  static PyObject* lower_name = nullptr;
  if (lower_name == nullptr) {
    lower_name = PyUnicode_InternFromString("lower");
    if (lower_name == nullptr) return fetch_error();
  }
  PyRef exact =
      PyUnicode_CheckExact(name) ? PyRef::borrow(name) : PyRef::steal(PyUnicode_FromObject(name));
  if (!exact) return fetch_error();
  PyRef lowered = PyRef::steal(PyObject_CallMethodNoArgs(exact.get(), lower_name));
  if (!lowered) return fetch_error();
  return lowered;
}

// Looks up attr: true when present, false when the lookup raised AttributeError.
Result<bool> has_attribute(PyObject* obj, const char* attr) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(obj, attr));
  if (value) return true;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return false;
  }
  return fetch_error();
}

Result<PyRef> path_str(const std::string& path) {
  PyRef text =
      PyRef::steal(PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!text) return fetch_error();
  return text;
}

// Looks the method up now and calls what it finds, as `obj.name(*args)` would: a non-callable
// attribute fails with the interpreter's own "'int' object is not callable".
template <typename... Args>
Result<PyRef> call_method(PyObject* obj, const char* name, Args... args) {
  PyRef method = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!method) return fetch_error();
  PyObject* argv[] = {args...};
  PyRef result = PyRef::steal(PyObject_Vectorcall(method.get(), argv, sizeof...(Args), nullptr));
  if (!result) return fetch_error();
  return result;
}

// A conversion's failure as the driver reports it: its text after the prefix, or, for an interrupt
// or an exit raised by Python code it ran, that exception itself.
Error conversion_error(const char* prefix, Error error) {
  if (error.kind == ErrorKind::Raised) return error;
  return type_error(prefix + error.message);
}

Result<SettingValue> load_custom(PyObject* driver, const std::string& path) {
  auto arg = path_str(path);
  if (!arg) return std::move(arg.error());
  auto data = call_method(driver, "read", arg.value().get());
  if (!data) return std::move(data.error());
  auto root = value_from_python(data.value().get());
  if (!root) {
    return conversion_error("Failed to depythonize custom driver data: ", std::move(root.error()));
  }
  return root;
}

Status save_custom(PyObject* driver, const std::string& path, const SettingValue& root) {
  auto data = value_to_python(root);
  if (!data) return conversion_error("Failed to pythonize data: ", std::move(data.error()));
  auto arg = path_str(path);
  if (!arg) return std::move(arg.error());
  auto result = call_method(driver, "write", arg.value().get(), data.value().get());
  if (!result) return std::move(result.error());
  return Ok{};
}

// Runs the interpreter's signal handlers after a system call of loading or saving was
// interrupted. The exception a handler raises (KeyboardInterrupt for Ctrl-C) ends the load or
// save; otherwise the call is tried again. Off the main thread there is nothing to run.
Status check_signals() {
  if (PyErr_CheckSignals() < 0) return fetch_error();
  return Ok{};
}

}  // namespace

Result<Drivers> Drivers::from_args(PyObject* driver) {
  if (PyUnicode_Check(driver)) {
    Py_ssize_t size = 0;
    const char* given = PyUnicode_AsUTF8AndSize(driver, &size);
    if (given != nullptr) {
      auto lowered = lowered_name(driver);
      if (!lowered) return std::move(lowered.error());
      for (const FileFormat& format : file_formats()) {
        if (PyUnicode_CompareWithASCIIString(lowered.value().get(), format.name) == 0) {
          return Drivers(format.kind);
        }
      }
      if (PyUnicode_CompareWithASCIIString(lowered.value().get(), "memory") == 0) {
        return Drivers(DriverKind::Memory);
      }
      return value_error("Unknown driver: " + std::string(given, static_cast<std::size_t>(size)));
    }
    // Not encodable (a lone surrogate): not a name, so it is judged as an object below.
    PyErr_Clear();
  }
  auto has_read = has_attribute(driver, "read");
  if (!has_read) return std::move(has_read.error());
  if (has_read.value()) {
    auto has_write = has_attribute(driver, "write");
    if (!has_write) return std::move(has_write.error());
    if (has_write.value()) return Drivers(DriverKind::Custom, PyRef::borrow(driver));
  }
  return type_error("Driver must be a string (name) or an object with 'read' and 'write' methods");
}

// The file kinds all go through their row of the format table; file_format() is the one switch
// that must name every kind.
Result<SettingValue> Drivers::load(const std::string& path) const {
  if (const FileFormat* format = file_format(kind_)) return load_file(*format, path, check_signals);
  if (kind_ == DriverKind::Custom) return load_custom(custom_.get(), path);
  if (kind_ == DriverKind::Memory) return SettingValue::map();
  return internal_error("a driver kind without a way to load");
}

Status Drivers::save(const std::string& path, const SettingValue& root) const {
  if (const FileFormat* format = file_format(kind_))
    return save_file(*format, path, root, check_signals);
  if (kind_ == DriverKind::Custom) return save_custom(custom_.get(), path, root);
  if (kind_ == DriverKind::Memory) return Ok{};
  return internal_error("a driver kind without a way to save");
}

}  // namespace orn
