// The errors of reading a saved index.
//
// A DecodeError is one of five kinds, each with its fields; to_string()
// renders it the way it is reported to the caller: the kind's name, then its
// fields, e.g. "UnexpectedEnd { additional: 1 }" or "InvalidBooleanValue(2)".
// Only U32, U64, U128 and Reserved of IntegerType ever occur in this format;
// the others are listed so that the names keep their place.
//
// The texts (kind names, field names, their punctuation) are part of the
// module's fixed behaviour: callers see them in "decode error: ..." messages
// and match on them, so they stay exactly as they are.
//
// Thread safety: plain values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace tessarin::encoding {

enum class IntegerType : std::uint8_t {
  U8,
  U16,
  U32,
  U64,
  U128,
  Usize,
  I8,
  I16,
  I32,
  I64,
  I128,
  Isize,
  Reserved,
};

// The input ended inside a value; `additional` bytes were still missing.
struct UnexpectedEnd {
  std::size_t additional = 0;
};

// An integer's first byte announced a width the target cannot take.
struct InvalidIntegerType {
  IntegerType expected = IntegerType::U32;
  IntegerType found = IntegerType::U32;
};

// An option or enumeration tag outside min..max.
struct UnexpectedVariant {
  std::string_view type_name;  // always a string literal
  std::uint32_t min = 0;
  std::uint32_t max = 0;
  std::uint32_t found = 0;
};

// A character's bytes, zero-padded to four, that are no UTF-8 encoding of one
// Unicode scalar value.
struct InvalidCharEncoding {
  std::array<std::uint8_t, 4> bytes{};
};

// A boolean byte other than 0 and 1.
struct InvalidBooleanValue {
  std::uint8_t value = 0;
};

using DecodeError = std::variant<UnexpectedEnd, InvalidIntegerType, UnexpectedVariant,
                                 InvalidCharEncoding, InvalidBooleanValue>;

[[nodiscard]] std::string_view name(IntegerType type);
[[nodiscard]] std::string to_string(const DecodeError& error);

}  // namespace tessarin::encoding
