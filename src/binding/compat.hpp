// The few C-API calls whose form differs between the CPython versions the module builds for
// (3.12 and 3.13). Each wrapper keeps 3.12's behaviour and error texts on every version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace orn::compat {

// Writes the int `number` into `size` bytes, least significant first, as two's complement when
// is_signed. Returns 0, or -1 with an exception set: OverflowError "can't convert negative int to
// unsigned" for a negative number read unsigned, OverflowError "int too big to convert" for one
// that needs more bytes. 3.13 changed the private _PyLong_AsByteArray and added the public
// PyLong_AsNativeBytes, which reports a short buffer by its return value instead of an error.
inline int int_to_little_endian(PyObject* number, unsigned char* bytes, std::size_t size,
                                bool is_signed) {
#if PY_VERSION_HEX >= 0x030D0000
  const auto capacity = static_cast<Py_ssize_t>(size);
  const int flags =
      Py_ASNATIVEBYTES_LITTLE_ENDIAN |
      (is_signed ? 0 : Py_ASNATIVEBYTES_UNSIGNED_BUFFER | Py_ASNATIVEBYTES_REJECT_NEGATIVE);
  Py_ssize_t needed = PyLong_AsNativeBytes(number, bytes, capacity, flags);
  if (needed < 0) {
    if (is_signed || !PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    return -1;
  }
  if (needed > capacity) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    return -1;
  }
  return 0;
#else
  return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(number), bytes, size, 1,
                             is_signed ? 1 : 0);
#endif
}

}  // namespace orn::compat
