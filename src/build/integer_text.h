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

// Whether `c` is whitespace around an integer.
[[nodiscard]] constexpr bool is_integer_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Inline: counts and identifiers in text files are read one per field.
[[nodiscard]] inline IntegerText parse_integer_text(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && is_integer_space(*p)) ++p;
  while (end > p && is_integer_space(end[-1])) --end;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == end) return {};
  while (end - p > 1 && *p == '0') ++p;  // leading zeros
  // Past ten digits the value is out of range: only that they are digits
  // matters.
  std::uint64_t value = 0;
  for (const char* q = p; q < end; ++q) {
    const unsigned digit = static_cast<unsigned char>(*q) - unsigned{'0'};
    if (digit > 9) return {};
    if (q - p < 10) value = value * 10 + digit;
  }
  if (end - p > 10 || value > 0xFFFFFFFFu || (negative && value != 0)) {
    return {IntegerStatus::kOutOfRange, 0};
  }
  return {IntegerStatus::kInRange, static_cast<std::uint32_t>(value)};
}

// An integer text (kInRange or kOutOfRange) as a message shows it: its
// value in decimal, without whitespace, "+" or leading zeros, as Python's
// str(int(text)) writes it, cut to 80 characters ("..." at the end).
[[nodiscard]] std::string integer_shown(std::string_view text);

}  // namespace tessarin::builder
