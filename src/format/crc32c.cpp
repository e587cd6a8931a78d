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

// Three streams: each block of 3 * kStride bytes as three runs of kStride,
// whose CRCs the instruction computes side by side (its latency hidden),
// then joined. The running CRC is linear: the CRC of a run after `crc`
// is the CRC of the run after 0, XOR `crc` carried over the run's length
// in zeros (shift_stride, by tables of that carry for each byte of `crc`).
constexpr std::size_t kStride = 8192;

struct StrideTables {
  std::uint32_t t[4][256];
};

__attribute__((target("sse4.2"))) StrideTables make_stride_tables() {
  // The carry of each single bit, then of each byte value by linearity.
  std::uint32_t bit[32];
  for (unsigned b = 0; b < 32; ++b) {
    std::uint64_t wide = std::uint32_t{1} << b;
    for (std::size_t k = 0; k < kStride / 8; ++k) wide = _mm_crc32_u64(wide, 0);
    bit[b] = static_cast<std::uint32_t>(wide);
  }
  StrideTables tables{};
  for (unsigned k = 0; k < 4; ++k) {
    for (std::uint32_t v = 0; v < 256; ++v) {
      std::uint32_t carried = 0;
      for (unsigned b = 0; b < 8; ++b) carried ^= ((v >> b) & 1U) != 0 ? bit[8 * k + b] : 0U;
      tables.t[k][v] = carried;
    }
  }
  return tables;
}

std::uint32_t shift_stride(const StrideTables& tables, std::uint32_t crc) {
  return tables.t[0][crc & 0xFF] ^ tables.t[1][(crc >> 8) & 0xFF] ^
         tables.t[2][(crc >> 16) & 0xFF] ^ tables.t[3][crc >> 24];
}

__attribute__((target("sse4.2"))) std::uint32_t update_three(std::uint32_t crc,
                                                             const std::uint8_t* p, std::size_t n) {
  static const StrideTables tables = make_stride_tables();
  for (; n >= 3 * kStride; n -= 3 * kStride, p += 3 * kStride) {
    std::uint64_t a = crc;
    std::uint64_t b = 0;
    std::uint64_t c = 0;
    for (std::size_t k = 0; k < kStride; k += 8) {
      std::uint64_t x = 0;
      std::uint64_t y = 0;
      std::uint64_t z = 0;
      std::memcpy(&x, p + k, 8);
      std::memcpy(&y, p + kStride + k, 8);
      std::memcpy(&z, p + 2 * kStride + k, 8);
      a = _mm_crc32_u64(a, x);
      b = _mm_crc32_u64(b, y);
      c = _mm_crc32_u64(c, z);
    }
    crc = shift_stride(tables, shift_stride(tables, static_cast<std::uint32_t>(a)) ^
                                   static_cast<std::uint32_t>(b)) ^
          static_cast<std::uint32_t>(c);
  }
  return update_instruction(crc, p, n);
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
  if (has_instruction()) return ~update_three(crc, bytes.data(), bytes.size());
#endif
  return ~update_tables(crc, bytes.data(), bytes.size());
}

std::uint32_t crc32c_portable(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  return ~update_tables(~crc, bytes.data(), bytes.size());
}

}  // namespace tessarin
