// The checksum of index files' sections, against its published check value
// and between its two implementations. (The mapped form itself is checked
// byte for byte against a plain model by tests/package/test_mapped.py.)
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "check.h"
#include "format/crc32c.h"

TEST(crc32c_has_its_check_value_and_both_loops_agree) {
  const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  CHECK_EQ(tessarin::crc32c(digits), 0xE3069283u);
  CHECK_EQ(tessarin::crc32c_portable(digits), 0xE3069283u);
  CHECK_EQ(tessarin::crc32c({}), 0u);
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    // Some past three streams' blocks of 24 KB, and some exactly them.
    const std::size_t length = round % 10 == 0   ? rng() % 80000
                               : round % 10 == 1 ? 24576 * (1 + round % 3)
                                                 : rng() % 100;
    std::vector<std::uint8_t> bytes(length);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(rng());
    const std::size_t cut = bytes.empty() ? 0 : rng() % bytes.size();
    const std::span<const std::uint8_t> all(bytes);
    const std::uint32_t whole = tessarin::crc32c(all);
    CHECK_EQ(tessarin::crc32c_portable(all), whole);
    CHECK_EQ(tessarin::crc32c(all.subspan(cut), tessarin::crc32c(all.first(cut))), whole);
  }
}
