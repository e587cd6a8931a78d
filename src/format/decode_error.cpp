#include "format/decode_error.h"

#include <type_traits>

namespace tessarin::encoding {

// The names and renderings below are fixed (see decode_error.h): callers
// match on them.
std::string_view name(IntegerType type) {
  switch (type) {
    case IntegerType::U8:
      return "U8";
    case IntegerType::U16:
      return "U16";
    case IntegerType::U32:
      return "U32";
    case IntegerType::U64:
      return "U64";
    case IntegerType::U128:
      return "U128";
    case IntegerType::Usize:
      return "Usize";
    case IntegerType::I8:
      return "I8";
    case IntegerType::I16:
      return "I16";
    case IntegerType::I32:
      return "I32";
    case IntegerType::I64:
      return "I64";
    case IntegerType::I128:
      return "I128";
    case IntegerType::Isize:
      return "Isize";
    case IntegerType::Reserved:
      return "Reserved";
  }
  return "Reserved";
}

std::string to_string(const DecodeError& error) {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, UnexpectedEnd>) {
          return "UnexpectedEnd { additional: " + std::to_string(e.additional) + " }";
        } else if constexpr (std::is_same_v<T, InvalidIntegerType>) {
          return "InvalidIntegerType { expected: " + std::string(name(e.expected)) +
                 ", found: " + std::string(name(e.found)) + " }";
        } else if constexpr (std::is_same_v<T, UnexpectedVariant>) {
          return "UnexpectedVariant { type_name: \"" + std::string(e.type_name) +
                 "\", allowed: Range { min: " + std::to_string(e.min) +
                 ", max: " + std::to_string(e.max) + " }, found: " + std::to_string(e.found) + " }";
        } else if constexpr (std::is_same_v<T, InvalidCharEncoding>) {
          return "InvalidCharEncoding([" + std::to_string(e.bytes[0]) + ", " +
                 std::to_string(e.bytes[1]) + ", " + std::to_string(e.bytes[2]) + ", " +
                 std::to_string(e.bytes[3]) + "])";
        } else {
          return "InvalidBooleanValue(" + std::to_string(e.value) + ")";
        }
      },
      error);
}

}  // namespace tessarin::encoding
