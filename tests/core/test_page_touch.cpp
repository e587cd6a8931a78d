// Populating pages: ranges widened to whole pages, each page once, empty
// ones skipped, the
// memory unchanged, on pages of a mapping no one has touched yet.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <span>
#include <vector>

#include "check.h"
#include "util/page_touch.h"

using tessarin::populate_pages;
using tessarin::PopulateWay;

TEST(pages_are_populated_whole_and_left_unchanged) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t size = 6 * page;
  void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  CHECK(mapped != MAP_FAILED);
  auto* bytes = static_cast<std::uint8_t*>(mapped);
  bytes[3 * page + 7] = 42;  // one page touched, the others not
  const std::span<const std::uint8_t> all(bytes, size);
  struct Case {
    std::vector<std::span<const std::uint8_t>> ranges;
    std::size_t pages;
  };
  const std::vector<Case> cases = {
      {{}, 0},
      {{all.subspan(5, 0)}, 0},
      {{all.subspan(1, 1)}, 1},
      {{all.subspan(page - 1, 2)}, 2},  // across a boundary
      {{all.subspan(page, page)}, 1},   // exactly one page
      {{all.subspan(2, 1), all.subspan(2 * page + 1, 3 * page)}, 5},
      {{all.subspan(2, 1), all.subspan(9, page)}, 2},  // page 0 taken once
      {{all.subspan(0, 3 * page), all.subspan(page, page)}, 3},
  };
  for (const Case& c : cases) {
    const tessarin::Populated done = populate_pages(c.ranges);
    CHECK_EQ(done.bytes, c.pages * page);
    CHECK((done.way == PopulateWay::kNone) == (c.pages == 0));
  }
  for (std::size_t k = 0; k < size; ++k) CHECK_EQ(int{bytes[k]}, k == 3 * page + 7 ? 42 : 0);
  munmap(mapped, size);
}
