#include "binding/args.hpp"

#include <cstring>
#include <string>

#include "binding/errors.hpp"

namespace orn {

namespace {

Error too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string text = std::string(sig.function) + " takes ";
  if (sig.required == sig.count) {
    text += std::to_string(sig.count);
  } else {
    text += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  return type_error(std::move(text));
}

Error missing_required(const Signature& sig, PyObject** out) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        list += " and ";
      } else {
        list += listed + 1 == missing ? ", and " : ", ";
      }
    }
    list.append("'").append(sig.names[i]).append("'");
    ++listed;
  }
  return type_error(std::string(sig.function) + " missing " + std::to_string(missing) +
                    " required positional " + (missing == 1 ? "argument" : "arguments") + ": " +
                    list);
}

// Places one keyword argument; fails for an unknown name or a parameter already filled.
Status place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return fetch_error();
  std::string_view key(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (key != sig.names[i]) continue;
    if (out[i] != nullptr) {
      return type_error(std::string(sig.function) + " got multiple values for argument '" +
                        std::string(key) + "'");
    }
    out[i] = value;
    return Ok{};
  }
  return type_error(std::string(sig.function) + " got an unexpected keyword argument '" +
                    std::string(key) + "'");
}

Status check_complete(const Signature& sig, PyObject** out) {
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) return missing_required(sig, out);
  }
  return Ok{};
}

}  // namespace

Status match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** out) {
  Py_ssize_t positional = PyVectorcall_NARGS(nargs);
  if (static_cast<std::size_t>(positional) > sig.count) {
    return too_many_positional(sig, positional);
  }
  for (std::size_t i = 0; i < sig.count; ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < positional ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      ORN_TRY(place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[positional + k], out));
    }
  }
  return check_complete(sig, out);
}

Status match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t positional = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(positional) > sig.count) {
    return too_many_positional(sig, positional);
  }
  for (std::size_t i = 0; i < sig.count; ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < positional ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      ORN_TRY(place_keyword(sig, name, value, out));
    }
  }
  return check_complete(sig, out);
}

Result<std::string_view> str_argument_checked(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    // The conversion's TypeError is replaced by one that names the argument; its cause is the
    // replaced error's own cause, which is None.
    std::string text = "argument '" + std::string(name) + "': " + type_mismatch_text(obj, "str");
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), text.size()));
    if (!message) return fetch_error();
    PyRef exception = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!exception) return fetch_error();
    PyException_SetCause(exception.get(), nullptr);
    return raised_error(std::move(exception));
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return fetch_error();
  return std::string_view(text, static_cast<std::size_t>(size));
}

}  // namespace orn
