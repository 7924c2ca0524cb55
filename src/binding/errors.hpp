// Turning interpreter failures into Error values and Error values into raised exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/py_ref.hpp"
#include "engine/result.hpp"

namespace orn {

// An exception object the interpreter raised, held until it is raised again unchanged.
struct RaisedException {
  PyRef exception;
};

// Takes the interpreter's pending exception as a caught error. If a C API call failed without
// setting one, gives SystemError "attempted to fetch exception but none was set".
Error fetch_error();

// Raises error in the calling thread (entry points only).
void set_python_error(const Error& error);

// An error that raises exactly this exception object (for example one carrying a non-str argument).
Error raised_error(PyRef exception);

// "'{}' object is not an instance of '{}'", or "'None' is not an instance of '{}'".
std::string type_mismatch_text(PyObject* obj, const char* expected);

// The qualified name of obj's type, or "<failed to extract type name>".
std::string qualified_type_name(PyObject* obj);

// "Type: str(exception)", or "Type: <exception str() failed>"; exception must be an instance.
std::string exception_text(PyObject* exception);

// The text of the interpreter's pending exception (cleared), as exception_text gives it.
std::string fetch_exception_text();

// The exception class for an internal fault, created once per process; a borrowed reference.
PyObject* panic_exception_class();

// Every function CPython calls goes through here: a Result becomes a return value or a raised
// exception, and no C++ exception crosses into the interpreter.
template <typename Body>
PyObject* entry(Body&& body) noexcept {
  try {
    Result<PyRef> result = body();
    if (result) return result.value().release();
    set_python_error(result.error());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a request beyond what any allocator could give
  } catch (const std::exception& e) {
    PyErr_SetString(panic_exception_class(), e.what());
  } catch (...) {
    PyErr_SetString(panic_exception_class(), "unknown internal fault");
  }
  return nullptr;
}

}  // namespace orn
