#include "format/crc32c.h"

#include <array>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace tessarin {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // reflected

// table[k][b]: the CRC of byte b followed by k zero bytes.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? kPolynomial : 0u);
    t[0][b] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = make_tables();

// The running (uncomplemented) CRC over `bytes`, eight at a time through the
// tables, then byte by byte.
std::uint32_t update_tables(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
  for (; n >= 8; n -= 8, p += 8) {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + 4, 4);
    low ^= crc;  // little-endian bytes: the host's order on every supported machine
    crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
          kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^ kTables[2][(high >> 8) & 0xFF] ^
          kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24];
  }
  for (; n > 0; --n, ++p) crc = (crc >> 8) ^ kTables[0][(crc ^ *p) & 0xFF];
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t update_instruction(std::uint32_t crc,
                                                                   const std::uint8_t* p,
                                                                   std::size_t n) {
  std::uint64_t wide = crc;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    wide = _mm_crc32_u64(wide, word);
  }
  auto narrow = static_cast<std::uint32_t>(wide);
  for (; n > 0; --n, ++p) narrow = _mm_crc32_u8(narrow, *p);
  return narrow;
}

bool has_instruction() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();  // may run before the constructors that would call it
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return has;
}
#endif

}  // namespace

std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  crc = ~crc;
#if defined(__x86_64__)
  if (has_instruction()) return ~update_instruction(crc, bytes.data(), bytes.size());
#endif
  return ~update_tables(crc, bytes.data(), bytes.size());
}

std::uint32_t crc32c_portable(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  return ~update_tables(~crc, bytes.data(), bytes.size());
}

}  // namespace tessarin
