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

// The UTF-8 text of a str argument, valid while obj lives. Not a str: TypeError
// "argument 'name': ..."; a str that cannot be encoded: the interpreter's error unchanged.
Result<std::string_view> str_argument(PyObject* obj, const char* name);

}  // namespace orn
