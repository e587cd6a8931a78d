// Counting set bits inline agrees with the standard library's count.
#include <bit>
#include <cstdint>
#include <random>

#include "check.h"
#include "util/bit_count.h"

TEST(bits_are_counted_as_the_standard_library_counts_them) {
  std::mt19937_64 random(7);
  for (int k = 0; k < 100000; ++k) {
    // Sparse, dense and even words, and every single bit.
    const std::uint64_t flip = k % 3 == 0 ? ~0ULL : 0;
    const std::uint64_t x = k < 64 ? std::uint64_t{1} << k : (random() & random()) ^ flip;
    CHECK(tessarin::bit_count(x) == std::popcount(x));
  }
  CHECK(tessarin::bit_count(0) == 0 && tessarin::bit_count(~0ULL) == 64);
}
