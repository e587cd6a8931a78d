// Counting set bits inline agrees with the standard library's count, and
// counting terminal flags with reading them one by one.
#include <bit>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "check.h"
#include "index/terminal_flags.h"
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

TEST(terminal_flags_are_counted_as_read_one_by_one) {
  std::mt19937_64 random(11);
  for (const std::size_t nodes : {0, 1, 7, 8, 63, 64, 65, 200, 1000}) {
    std::vector<std::uint8_t> bits((nodes + 7) / 8 + 1);
    for (std::uint8_t& b : bits) b = static_cast<std::uint8_t>(random());  // past `nodes` too
    const tessarin::TerminalFlags packed = tessarin::TerminalFlags::packed(bits.data(), nodes);
    const tessarin::TerminalFlags bytes(std::span<const std::uint8_t>(bits).first(nodes / 8));
    std::size_t set = 0;
    for (const std::uint8_t t : packed) set += t;
    CHECK(packed.count() == set);
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < nodes / 8; ++i) nonzero += bits[i] != 0 ? 1 : 0;
    CHECK(bytes.count() == nonzero);
  }
}
