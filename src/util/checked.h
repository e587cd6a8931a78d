// Bounds-checked reads for data that nothing has validated.
//
// A restored index carries whatever its bytes said: arrays of different
// lengths, child indices beyond the node count, child ranges beyond the flat
// child array. Every read that such an index can steer goes through at(),
// which compares the position with the array's length and, on a breach,
// throws InternalFailure. The core's entry points catch it (catch_internal)
// and return it as an Error of kind kInternal, so the exception never leaves
// the core and the walking code stays free of error plumbing.
//
// Cost: one compare and a predicted branch per read.
#pragma once

#include <cstddef>
#include <exception>
#include <span>
#include <string>
#include <utility>

#include "util/result.h"

namespace tessarin {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  [[nodiscard]] const std::string& message() const { return message_; }
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] void fail_internal(std::string message);
[[noreturn]] void fail_out_of_range(const char* array, std::size_t index, std::size_t length);

template <class T>
const T& at(std::span<const T> array, std::size_t index, const char* name) {
  if (index >= array.size()) [[unlikely]] {
    fail_out_of_range(name, index, array.size());
  }
  return array[index];
}

// Runs f() and turns an InternalFailure thrown inside into an Error.
template <class F>
auto catch_internal(F&& f) -> decltype(f()) {
  try {
    return std::forward<F>(f)();
  } catch (const InternalFailure& failure) {
    return Error{ErrorKind::kInternal, failure.message()};
  }
}

}  // namespace tessarin
