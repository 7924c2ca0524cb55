// The storage driver of one engine: a built-in kind, or a caller's object with read and write.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "binding/py_ref.hpp"
#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/format_table.hpp"

namespace orn {

class Drivers {
 public:
  explicit Drivers(DriverKind kind) noexcept : kind_(kind) {}

  // Chooses the driver for a constructor's `driver` argument (not None). A str selects a kind by
  // name; any other object with `read` and `write` attributes becomes a custom driver.
  static Result<Drivers> from_args(PyObject* driver);

  DriverKind kind() const noexcept { return kind_; }

  Result<SettingValue> load(const std::string& path) const;
  // Saves root; for a custom driver `write` runs Python code while the caller holds its guards.
  Status save(const std::string& path, const SettingValue& root) const;

  // Drops a custom driver's reference (may run the object's finalizer).
  void release() noexcept { custom_ = PyRef(); }

 private:
  Drivers(DriverKind kind, PyRef custom) noexcept : kind_(kind), custom_(std::move(custom)) {}
  DriverKind kind_;
  PyRef custom_;
};

}  // namespace orn
