// Errors as values for the core.
//
// Every fallible core operation returns a Result<T>: either its value or an
// Error carrying a kind and a message. Only the binding layer turns an Error
// into a Python exception, at the moment it raises it; the kind decides which
// exception (binding/_tessarin/exceptions.cpp, binding/_native/errors.cpp),
// never the message.
//
// Thread safety: plain values, no shared state.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessarin {

enum class ErrorKind : unsigned char {
  kValue,     // a check on the caller's input failed
  kDecode,    // a saved form could not be read; the message is the decode error's text
  kDamaged,   // a saved form that decodes but is damaged: bytes after its end, arrays
              // that do not hold together (format/restore_checked.h)
  kEncode,    // a saved form could not be written; the message is the encode error's text
  kInternal,  // a broken invariant met while running (an index that is not what it claims)
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Error error)
      : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(google-explicit-constructor)

  [[nodiscard]] bool ok() const { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  Error& error() { return std::get<1>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// The result of an operation that yields nothing but may fail.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error)
      : error_(std::move(error)), failed_(true) {}  // NOLINT(google-explicit-constructor)

  [[nodiscard]] bool ok() const { return !failed_; }
  Error& error() { return error_; }
  const Error& error() const { return error_; }

 private:
  Error error_{ErrorKind::kValue, {}};
  bool failed_ = false;
};

inline Error value_error(std::string message) { return {ErrorKind::kValue, std::move(message)}; }

}  // namespace tessarin
