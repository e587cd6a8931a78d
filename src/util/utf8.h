// UTF-8 encoding of one Unicode scalar value.
//
// The caller guarantees a scalar value (U+0000..U+10FFFF, no surrogates):
// every character the index holds came through a str or a checked decode.
#pragma once

#include <cstddef>

namespace tessarin {

// Bytes in the UTF-8 form of c: 1 below U+0080, 2 below U+0800, 3 below
// U+10000, else 4.
constexpr std::size_t utf8_length(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 form of c through `put`, one byte (unsigned char) at a
// time.
template <class Put>
void encode_utf8(char32_t c, Put&& put) {
  const auto byte = [&](char32_t b) { put(static_cast<unsigned char>(b)); };
  switch (utf8_length(c)) {
    case 1:
      byte(c);
      break;
    case 2:
      byte(0xC0 | (c >> 6));
      byte(0x80 | (c & 0x3F));
      break;
    case 3:
      byte(0xE0 | (c >> 12));
      byte(0x80 | ((c >> 6) & 0x3F));
      byte(0x80 | (c & 0x3F));
      break;
    default:
      byte(0xF0 | (c >> 18));
      byte(0x80 | ((c >> 12) & 0x3F));
      byte(0x80 | ((c >> 6) & 0x3F));
      byte(0x80 | (c & 0x3F));
      break;
  }
}

}  // namespace tessarin
