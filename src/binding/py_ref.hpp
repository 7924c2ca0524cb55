// PyRef: an owned reference. Ownership is said once, where a pointer arrives: steal a new
// reference, borrow a borrowed one; release() hands it back to CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace orn {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef borrow(PyObject* p) noexcept { return PyRef(Py_XNewRef(p)); }
  PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(PyRef other) noexcept {  // by value: one body for move and self-move
    std::swap(ptr_, other.ptr_);
    return *this;  // the old object dies last, as with Py_SETREF: teardown may run Python code
  }
  ~PyRef() { Py_XDECREF(ptr_); }
  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

 private:
  explicit PyRef(PyObject* p) noexcept : ptr_(p) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace orn
