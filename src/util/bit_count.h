// bit_count(x): the set bits of a word, as std::popcount counts them.
//
// Where the target may lack a population-count instruction (x86-64's
// baseline, which portable builds keep to), std::popcount compiles to a
// call into the compiler's runtime, which counts bytes through a table:
// the shifts and masks below, inline, cost a few cycles instead. Counting
// is on the hot paths of payload lookups (a node's slot is the set bits
// below it) and of the long-query matcher.
#pragma once

#include <bit>
#include <cstdint>

namespace tessarin {

constexpr int bit_count(std::uint64_t x) {
#if defined(__x86_64__) && !defined(__POPCNT__)
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
#else
  return std::popcount(x);
#endif
}

}  // namespace tessarin
