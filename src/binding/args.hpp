// Matching call arguments against a parameter list, and converting str arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "engine/result.hpp"

namespace orn {

struct Signature {
  const char* function;  // as messages name it: "OrnSettingEngine.value()"
  const char* const* names;
  std::size_t count;
  std::size_t required;  // the first `required` parameters are required
};

// Fills out[0..count) with borrowed references (null where an optional one is absent) from a
// vectorcall-style call.
Status match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** out);
// The same for a tuple and a dict of keywords (the constructor).
Status match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                       PyObject** out);

Result<std::string_view> str_argument_checked(PyObject* obj, const char* name);

// The UTF-8 text of a str argument, valid while obj lives. Not a str: TypeError
// "argument 'name': ..."; a str that cannot be encoded: the interpreter's error unchanged.
// Inline for keys, which are nearly always ASCII: a compact ASCII str holds its bytes as they
// are, and only other objects take the call.
inline Result<std::string_view> str_argument(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
  }
  return str_argument_checked(obj, name);
}

}  // namespace orn
