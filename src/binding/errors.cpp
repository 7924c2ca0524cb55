#include "binding/errors.hpp"

#include <cerrno>
#include <mutex>

namespace orn {

Error raised_error(PyRef exception) {
  return {ErrorKind::Raised,
          {},
          0,
          std::make_shared<const RaisedException>(RaisedException{std::move(exception)})};
}

Error fetch_error() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) {
    return {ErrorKind::System, "attempted to fetch exception but none was set"};
  }
  return raised_error(std::move(exception));
}

std::string qualified_type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(text, static_cast<std::size_t>(size));
}

std::string type_mismatch_text(PyObject* obj, const char* expected) {
  if (obj == Py_None) return std::string("'None' is not an instance of '") + expected + "'";
  std::string text = "'";
  text.append(qualified_type_name(obj)).append("' object is not an instance of '");
  return text.append(expected).append("'");
}

std::string exception_text(PyObject* exception) {
  std::string text = qualified_type_name(exception) + ": ";
  PyRef str = PyRef::steal(PyObject_Str(exception));
  Py_ssize_t size = 0;
  const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return text + "<exception str() failed>";
  }
  return text.append(utf8, static_cast<std::size_t>(size));
}

std::string fetch_exception_text() {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) return "SystemError: attempted to fetch exception but none was set";
  return exception_text(exception.get());
}

namespace {

PyObject* os_error_class(int err) {
  switch (err) {
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES:
      return PyExc_PermissionError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    case EPIPE:
      return PyExc_BrokenPipeError;
    case EEXIST:
      return PyExc_FileExistsError;
    case EAGAIN:
      return PyExc_BlockingIOError;
    case ENOTDIR:
      return PyExc_NotADirectoryError;
    case EISDIR:
      return PyExc_IsADirectoryError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    case EINTR:
      return PyExc_InterruptedError;
    case ENOMEM:
      return PyExc_MemoryError;
    default:
      return PyExc_OSError;
  }
}

PyObject* error_class(const Error& error) {
  switch (error.kind) {
    case ErrorKind::Key:
      return PyExc_KeyError;
    case ErrorKind::Type:
      return PyExc_TypeError;
    case ErrorKind::Value:
      return PyExc_ValueError;
    case ErrorKind::Runtime:
      return PyExc_RuntimeError;
    case ErrorKind::OS:
      return os_error_class(error.os_errno);
    case ErrorKind::Memory:
      return PyExc_MemoryError;
    case ErrorKind::System:
      return PyExc_SystemError;
    case ErrorKind::Internal:
      return panic_exception_class();
    case ErrorKind::Raised:
      break;
  }
  return nullptr;
}

}  // namespace

void set_python_error(const Error& error) {
  if (error.kind == ErrorKind::Raised && error.raised) {
    PyErr_SetRaisedException(Py_NewRef(error.raised->exception.get()));
    return;
  }
  PyObject* cls = error_class(error);
  if (cls == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "internal error state lost");
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(cls, message.get());
}

PyObject* panic_exception_class() {
  // Made once per process, under the interpreter lock. Creating the class can run Python code
  // (and so switch threads); a thread that finished first wins and the other class is dropped.
  static PyObject* cls = nullptr;
  if (cls != nullptr) return cls;
  PyObject* made = PyErr_NewExceptionWithDoc(
      "_orn_core.PanicException",
      "An internal fault of _orn_core: a bug, never caused by the caller's input.",
      PyExc_BaseException, nullptr);
  if (made == nullptr) {
    PyErr_Clear();
    return PyExc_SystemError;
  }
  if (cls == nullptr) {
    cls = made;  // kept for the life of the process
  } else {
    PyRef discard = PyRef::steal(made);
  }
  return cls;
}

}  // namespace orn
