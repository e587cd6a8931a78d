// UTF-8 encoding of one Unicode scalar value, and decoding of valid UTF-8.
//
// The caller guarantees a scalar value (U+0000..U+10FFFF, no surrogates),
// or text that is valid UTF-8: every character the index holds came
// through a str or a checked decode.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The code points of `text`, which must be valid UTF-8, into `out`.
inline void decode_utf8(std::string_view text, std::u32string& out) {
  out.clear();
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = [&](std::size_t k) {
      return static_cast<char32_t>(static_cast<unsigned char>(text[at + k]));
    };
    const char32_t lead = byte(0);
    if (lead < 0x80) {
      out.push_back(lead);
      at += 1;
    } else if (lead < 0xE0) {
      out.push_back((lead & 0x1Fu) << 6u | (byte(1) & 0x3Fu));
      at += 2;
    } else if (lead < 0xF0) {
      out.push_back((lead & 0x0Fu) << 12u | (byte(1) & 0x3Fu) << 6u | (byte(2) & 0x3Fu));
      at += 3;
    } else {
      out.push_back((lead & 0x07u) << 18u | (byte(1) & 0x3Fu) << 12u | (byte(2) & 0x3Fu) << 6u |
                    (byte(3) & 0x3Fu));
      at += 4;
    }
  }
}

}  // namespace tessarin
