// Error values. Native code reports failures as `Error` values carried in a `Result<T>`;
// only the boundary layer (lib.cpp) turns them into Python exceptions. This header knows
// nothing of Python, so worker threads and native tests can use it freely.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace mn {

enum class ErrorKind {
  TypeError,
  ValueError,
  OverflowError,
  FileNotFoundError,
  IOError,
  RuntimeError,
  ImportError,
  SystemError,
  MemoryError,
  // The exception is already set in the interpreter; the message is unused.
  PythonRaised,
  // A broken internal invariant; becomes the module's internal-fault exception.
  InternalFault,
};

struct Error {
  ErrorKind kind;
  std::string message;
};

inline Error make_error(ErrorKind kind, std::string message) { return Error{kind, std::move(message)}; }
inline Error python_raised() { return Error{ErrorKind::PythonRaised, {}}; }

// Thrown only for broken invariants deep inside native code; the fault barrier catches it.
struct InternalFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A value or an error. Construct from a T, or from an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(state_); }
  Error&& take_error() { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// A result with no value.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace mn

// Propagates the error of a Result-valued expression, else yields its value.
#define MN_TRY(expr)                                                     \
  ({                                                                     \
    auto mn_try_result_ = (expr);                                        \
    if (!mn_try_result_.ok()) return mn_try_result_.take_error();        \
    std::move(mn_try_result_).value();                                   \
  })
