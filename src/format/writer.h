// Writing the primitives of the saved form.
//
// Integers are variable-length, least significant byte first:
//   0 ..= 250            one byte, the value itself
//   251 ..= 65535        251, then 2 bytes
//   65536 ..= 2^32 - 1   252, then 4 bytes
//   2^32 and above       253, then 8 bytes (64-bit values only)
// Characters are their UTF-8 encoding (U+0000 is the byte 00). Option tags
// and booleans are one raw byte, a 16-byte identifier its bytes as they are.
// A sequence is its element count as a 64-bit integer, then the elements.
// Every form written is the shortest one.
//
// Two sinks share this interface, so that what is measured and what is
// written come from the same code: SizeCounter adds up the sizes, and
// BufferWriter writes into a buffer that SizeCounter has measured. A
// BufferWriter does not check its bounds per byte; its owner checks once, at
// the end, that exactly the measured size was written.
//
// Thread safety: each sink belongs to one writer at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "util/utf8.h"

namespace tessarin::encoding {

[[nodiscard]] constexpr std::size_t varint_size(std::uint64_t value) {
  return value <= 250 ? 1 : value <= 0xFFFF ? 3 : value <= 0xFFFFFFFFu ? 5 : 9;
}

class SizeCounter {
 public:
  void byte(std::uint8_t /*value*/) { size_ += 1; }
  void varint_encode_u32(std::uint32_t value) { size_ += varint_size(value); }
  void varint_encode_u64(std::uint64_t value) { size_ += varint_size(value); }
  void character(char32_t c) { size_ += utf8_length(c); }
  void bytes16(const std::array<std::uint8_t, 16>& /*bytes*/) { size_ += 16; }

  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  std::size_t size_ = 0;
};

class BufferWriter {
 public:
  explicit BufferWriter(std::uint8_t* out) : begin_(out), out_(out) {}

  void byte(std::uint8_t value) { *out_++ = value; }

  void varint_encode_u32(std::uint32_t value) {
    if (value <= 250) {
      *out_++ = static_cast<std::uint8_t>(value);
    } else if (value <= 0xFFFF) {
      *out_++ = 251;
      little_endian(value, 2);
    } else {
      *out_++ = 252;
      little_endian(value, 4);
    }
  }

  void varint_encode_u64(std::uint64_t value) {
    if (value <= 0xFFFFFFFFu) {
      varint_encode_u32(static_cast<std::uint32_t>(value));
    } else {
      *out_++ = 253;
      little_endian(value, 8);
    }
  }

  void character(char32_t c) {
    encode_utf8(c, [this](unsigned char b) { *out_++ = b; });
  }

  void bytes16(const std::array<std::uint8_t, 16>& bytes) {
    for (const std::uint8_t b : bytes) *out_++ = b;
  }

  // Bytes written so far.
  [[nodiscard]] std::size_t size() const { return static_cast<std::size_t>(out_ - begin_); }

 private:
  void little_endian(std::uint64_t value, unsigned bytes) {
    for (unsigned k = 0; k < bytes; ++k) {
      *out_++ = static_cast<std::uint8_t>(value >> (8 * k));
    }
  }

  std::uint8_t* begin_;
  std::uint8_t* out_;
};

}  // namespace tessarin::encoding
