// Reading the primitives of the saved form (see writer.h for the forms).
//
// A Reader consumes its input from the front. Each read returns true and
// advances past the value, or returns false and keeps the DecodeError, which
// error() then reports; after a failure the reader is not used again.
//
// Reading is lenient where the format allows it: an integer in a longer form
// than needed (FB 05 00 for 5) is accepted. It is strict everywhere else:
//   - an integer whose first byte announces a width the target cannot take
//     (253 for a 32-bit target, 254, 255) is refused as soon as that byte is
//     seen, whatever follows;
//   - a character must be the UTF-8 encoding of one Unicode scalar value;
//   - option tags and enumeration tags must be in range, booleans 0 or 1;
//   - an input that ends inside a value yields UnexpectedEnd with the number
//     of bytes still missing for that value.
//
// Integer reads check the remaining length once for the longest form their
// target allows (5 bytes for 32 bits, 9 for 64) and then decode without
// further checks; only near the end of the input do they go byte by byte.
// Both ways give the same values and the same errors.
//
// Thread safety: a Reader belongs to one decoding at a time; the input must
// stay unchanged while it reads.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "format/decode_error.h"

namespace tessarin::encoding {

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> input)
      : begin_(input.data()), p_(input.data()), end_(input.data() + input.size()) {}

  [[nodiscard]] std::size_t consumed() const { return static_cast<std::size_t>(p_ - begin_); }
  [[nodiscard]] std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  [[nodiscard]] const DecodeError& error() const { return error_; }

  [[nodiscard]] bool varint_decode_u32(std::uint32_t* out) {
    if (remaining() >= 5) [[likely]] {
      const std::uint8_t b = p_[0];
      if (b <= 250) {
        *out = b;
        p_ += 1;
        return true;
      }
      if (b == 251) {
        *out = load_le(p_ + 1, 2);
        p_ += 3;
        return true;
      }
      if (b == 252) {
        *out = static_cast<std::uint32_t>(load_le(p_ + 1, 4));
        p_ += 5;
        return true;
      }
      return fail_integer_type(b, IntegerType::U32);
    }
    std::uint64_t value = 0;
    if (!varint_decode_near_end(IntegerType::U32, &value)) return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
  }

  [[nodiscard]] bool varint_decode_u64(std::uint64_t* out) {
    if (remaining() >= 9) [[likely]] {
      const std::uint8_t b = p_[0];
      if (b <= 250) {
        *out = b;
        p_ += 1;
        return true;
      }
      if (b >= 251 && b <= 253) {
        const std::size_t width = b == 251 ? 2 : b == 252 ? 4 : 8;
        *out = load_le(p_ + 1, width);
        p_ += 1 + width;
        return true;
      }
      return fail_integer_type(b, IntegerType::U64);
    }
    return varint_decode_near_end(IntegerType::U64, out);
  }

  // A sequence's element count.
  [[nodiscard]] bool read_length(std::uint64_t* out) { return varint_decode_u64(out); }

  // How many elements of a sequence of `length` to reserve room for: never
  // more than the rest of the input could hold at `min_size` bytes each.
  [[nodiscard]] std::size_t reserve_hint(std::uint64_t length, std::size_t min_size) const {
    return static_cast<std::size_t>(std::min<std::uint64_t>(length, remaining() / min_size));
  }

  [[nodiscard]] bool read_char(char32_t* out) {
    if (p_ != end_ && *p_ < 0x80) [[likely]] {
      *out = *p_++;
      return true;
    }
    return read_char_slow(out);
  }

  // One raw byte: 0 absent, 1 present; anything else is an UnexpectedVariant
  // of `type_name`.
  [[nodiscard]] bool read_option_tag(std::string_view type_name, bool* present);
  // A 32-bit integer naming a variant 0..=max of `type_name`.
  [[nodiscard]] bool read_enum_tag(std::string_view type_name, std::uint32_t max,
                                   std::uint32_t* out);
  [[nodiscard]] bool read_bytes16(std::array<std::uint8_t, 16>* out);

  // `count` booleans, one raw byte each (0 or 1), appended to out. The
  // first byte that is neither fails; so does running out, as reading the
  // booleans one by one would.
  [[nodiscard]] bool read_bools(std::uint64_t count, std::vector<std::uint8_t>& out);

 private:
  static std::uint64_t load_le(const std::uint8_t* p, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t k = 0; k < width; ++k) value |= std::uint64_t{p[k]} << (8 * k);
    return value;
  }

  bool varint_decode_near_end(IntegerType target, std::uint64_t* out);
  bool read_char_slow(char32_t* out);
  bool fail_integer_type(std::uint8_t first, IntegerType target);
  bool fail(const DecodeError& error);

  const std::uint8_t* begin_;
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  DecodeError error_;
};

}  // namespace tessarin::encoding
