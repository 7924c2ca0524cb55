// Errors are values: every fallible operation of the core returns Result<T>. Only the binding's
// entry points turn an Error into a Python exception.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace orn {

struct RaisedException;  // an exception object the interpreter raised; defined in binding/

enum class ErrorKind : std::uint8_t {
  Key,       // KeyError
  Type,      // TypeError
  Value,     // ValueError
  Runtime,   // RuntimeError
  OS,        // OSError, or the subclass that os_errno selects
  Memory,    // MemoryError
  Raised,    // an exception object raised by the interpreter, re-raised unchanged
  System,    // SystemError: the interpreter reported a failure without an exception
  Internal,  // a broken invariant: reported, never a crash
};

struct Error {
  ErrorKind kind;
  std::string message;  // the finished text: the Python exception's one argument
  int os_errno = 0;     // with ErrorKind::OS: the error number that picks the subclass (0: OSError)
  std::shared_ptr<const RaisedException> raised = {};
};

inline Error key_error(std::string message) { return {ErrorKind::Key, std::move(message)}; }
inline Error type_error(std::string message) { return {ErrorKind::Type, std::move(message)}; }
inline Error value_error(std::string message) { return {ErrorKind::Value, std::move(message)}; }
inline Error runtime_error(std::string message) { return {ErrorKind::Runtime, std::move(message)}; }
inline Error internal_error(std::string message) {
  return {ErrorKind::Internal, std::move(message)};
}
// An operating-system error; os_errno 0 raises OSError itself.
inline Error os_error(std::string message, int os_errno = 0) {
  return {ErrorKind::OS, std::move(message), os_errno};
}

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}
  explicit operator bool() const noexcept { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T&& take() { return std::get<0>(std::move(state_)); }
  Error& error() { return std::get<1>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

struct Ok {};
using Status = Result<Ok>;

}  // namespace orn

// Propagates the error of a Result-returning expression; binds nothing on success.
#define ORN_TRY(expr)                                    \
  do {                                                   \
    if (auto orn_try_result_ = (expr); !orn_try_result_) \
      return std::move(orn_try_result_.error());         \
  } while (0)
