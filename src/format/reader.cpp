#include "format/reader.h"

#include <algorithm>
#include <cstring>

namespace tessarin::encoding {

bool Reader::fail(const DecodeError& error) {
  error_ = error;
  return false;
}

bool Reader::fail_integer_type(std::uint8_t first, IntegerType target) {
  IntegerType found = IntegerType::Reserved;
  if (first == 253) {
    found = IntegerType::U64;
  } else if (first == 254) {
    found = IntegerType::U128;
  }
  return fail(InvalidIntegerType{target, found});
}

// The checked form of an integer read, for the last bytes of the input.
bool Reader::varint_decode_near_end(IntegerType target, std::uint64_t* out) {
  if (p_ == end_) return fail(UnexpectedEnd{1});
  const std::uint8_t b = *p_;
  if (b <= 250) {
    *out = b;
    p_ += 1;
    return true;
  }
  std::size_t width = 0;
  if (b == 251) {
    width = 2;
  } else if (b == 252) {
    width = 4;
  } else if (b == 253 && target == IntegerType::U64) {
    width = 8;
  } else {
    return fail_integer_type(b, target);
  }
  const std::size_t left = remaining() - 1;
  if (left < width) return fail(UnexpectedEnd{width - left});
  *out = load_le(p_ + 1, width);
  p_ += 1 + width;
  return true;
}

// Any character but ASCII, and the end of the input. The checks follow the
// well-formed UTF-8 byte sequences of the Unicode standard (table 3-7): the
// first byte gives the width, the second byte's range excludes over-long
// forms, surrogates and values above U+10FFFF, the others are continuation
// bytes 80..BF.
bool Reader::read_char_slow(char32_t* out) {
  if (p_ == end_) return fail(UnexpectedEnd{1});
  const std::uint8_t b = *p_;
  std::size_t width = 0;
  std::uint8_t low = 0x80;  // range of the second byte
  std::uint8_t high = 0xBF;
  if (b < 0x80) {
    *out = b;
    p_ += 1;
    return true;
  }
  if (b >= 0xC2 && b <= 0xDF) {
    width = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    width = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    width = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return fail(InvalidCharEncoding{{b, 0, 0, 0}});
  }
  const std::size_t left = remaining() - 1;
  if (left < width - 1) return fail(UnexpectedEnd{width - 1 - left});

  bool valid = p_[1] >= low && p_[1] <= high;
  for (std::size_t k = 2; k < width; ++k) valid = valid && p_[k] >= 0x80 && p_[k] <= 0xBF;
  if (!valid) {
    InvalidCharEncoding invalid;
    std::memcpy(invalid.bytes.data(), p_, width);
    return fail(invalid);
  }
  char32_t c = b & (0x7Fu >> width);
  for (std::size_t k = 1; k < width; ++k) c = (c << 6) | (p_[k] & 0x3Fu);
  *out = c;
  p_ += width;
  return true;
}

bool Reader::read_option_tag(std::string_view type_name, bool* present) {
  if (p_ == end_) return fail(UnexpectedEnd{1});
  const std::uint8_t tag = *p_;
  if (tag > 1) return fail(UnexpectedVariant{type_name, 0, 1, tag});
  *present = tag == 1;
  p_ += 1;
  return true;
}

bool Reader::read_bools(std::uint64_t count, std::vector<std::uint8_t>& out) {
  const std::size_t available = reserve_hint(count, 1);
  const std::uint8_t* const stop = p_ + available;
  const std::uint8_t* const bad = std::find_if(p_, stop, [](std::uint8_t b) { return b > 1; });
  if (bad != stop) return fail(InvalidBooleanValue{*bad});
  if (available < count) return fail(UnexpectedEnd{1});
  out.insert(out.end(), p_, stop);
  p_ = stop;
  return true;
}

bool Reader::read_enum_tag(std::string_view type_name, std::uint32_t max, std::uint32_t* out) {
  std::uint32_t tag = 0;
  if (!varint_decode_u32(&tag)) return false;
  if (tag > max) return fail(UnexpectedVariant{type_name, 0, max, tag});
  *out = tag;
  return true;
}

bool Reader::read_bytes16(std::array<std::uint8_t, 16>* out) {
  if (remaining() < 16) return fail(UnexpectedEnd{16 - remaining()});
  std::memcpy(out->data(), p_, 16);
  p_ += 16;
  return true;
}

}  // namespace tessarin::encoding
