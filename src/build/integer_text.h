// Reading an integer written as text: the one parser of counts and video
// identifiers given as text (an Arrow text column, a CSV field, a Python
// int too wide for 64 bits).
//
// The rule: optional whitespace, an optional sign (+ or -), one or more
// ASCII digits 0-9, optional whitespace; nothing else. Whitespace is ASCII
// only: space, \t, \n, \v, \f and \r (C's isspace()). No underscores, no
// non-ASCII digits or spaces, no empty text. On ASCII text without "_",
// this is exactly what Python's int(text) accepts, with the same value.
//
// The value must lie in 0 .. 2^32 - 1, the range of a count and of an
// integer video identifier; "-0" is 0.
//
// Cost: one pass over the text, no allocation (integer_shown() allocates
// its result, for messages). Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessarin::builder {

enum class IntegerStatus : std::uint8_t {
  kInRange,     // an integer in 0 .. 2^32 - 1: IntegerText::value
  kOutOfRange,  // an integer, outside that range
  kNotInteger,  // not an integer by the rule above
};

struct IntegerText {
  IntegerStatus status = IntegerStatus::kNotInteger;
  std::uint32_t value = 0;
};

[[nodiscard]] IntegerText parse_integer_text(std::string_view text);

// An integer text (kInRange or kOutOfRange) as a message shows it: its
// value in decimal, without whitespace, "+" or leading zeros, as Python's
// str(int(text)) writes it, cut to 80 characters ("..." at the end).
[[nodiscard]] std::string integer_shown(std::string_view text);

// Whether `c` is whitespace around an integer.
[[nodiscard]] constexpr bool is_integer_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace tessarin::builder
