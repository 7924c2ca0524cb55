// Conversions between Python data and settings values. A failure is a TypeError-kind Error whose
// message is the conversion's text; callers add their own prefixes. Neither leaves an exception
// set in the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/py_ref.hpp"
#include "engine/result.hpp"
#include "engine/setting_value.hpp"

namespace orn {

// obj is borrowed; the result is a fresh tree that keeps no reference into obj.
Result<SettingValue> value_from_python(PyObject* obj);

// A new Python object (dicts in the mapping's sorted key order, lists at their final length).
Result<PyRef> value_to_python(const SettingValue& value);

}  // namespace orn
