#include "util/page_touch.h"

#include <algorithm>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tessarin {
namespace {

std::size_t page_size() {
#if defined(__unix__) || defined(__APPLE__)
  static const std::size_t size = [] {
    const long found = sysconf(_SC_PAGESIZE);
    return found > 0 ? static_cast<std::size_t>(found) : std::size_t{4096};
  }();
  return size;
#else
  return 4096;
#endif
}

// One byte of each page of `range`, from `begin` (the first page's start,
// or a page past it) to `end` (its last page's end): the range's own bytes
// only, read so that the compiler keeps the reads.
void read_each_page(std::span<const std::uint8_t> range, std::uintptr_t begin, std::uintptr_t end,
                    std::size_t page) {
  const auto first = reinterpret_cast<std::uintptr_t>(range.data());
  std::uint8_t sum = 0;
  for (std::uintptr_t at = begin; at < end; at += page) {
    const volatile std::uint8_t* inside = range.data() + (std::max(at, first) - first);
    sum = static_cast<std::uint8_t>(sum + *inside);
  }
  static_cast<void>(sum);
}

}  // namespace

Populated populate_pages(std::span<const std::span<const std::uint8_t>> ranges) {
  const std::size_t page = page_size();
  Populated done;
#if defined(MADV_POPULATE_READ)
  bool populate = true;
#endif
  std::uintptr_t done_to = 0;  // where the pages of the ranges before end
  for (const std::span<const std::uint8_t> range : ranges) {
    if (range.empty()) continue;
    // Whole pages: the first byte's page to the last byte's (a page lies
    // in one mapping, so they are mapped wherever the range is), but those
    // the range before took already.
    const auto first = reinterpret_cast<std::uintptr_t>(range.data());
    const std::uintptr_t end = (first + range.size() + page - 1) & ~(std::uintptr_t{page} - 1);
    const std::uintptr_t begin = std::max(first & ~(std::uintptr_t{page} - 1), done_to);
    if (begin >= end) continue;
    done_to = end;
    done.bytes += end - begin;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a page's address, for the kernel
    void* const address = reinterpret_cast<void*>(begin);
    const std::size_t length = end - begin;
#if defined(MADV_POPULATE_READ)
    if (populate && madvise(address, length, MADV_POPULATE_READ) == 0) {
      done.way = PopulateWay::kPopulate;
      continue;
    }
    populate = false;  // an older kernel (EINVAL): hint and read from now on
#endif
#if defined(MADV_WILLNEED)
    static_cast<void>(madvise(address, length, MADV_WILLNEED));
#else
    static_cast<void>(address);
    static_cast<void>(length);
#endif
    read_each_page(range, begin, end, page);
    done.way = PopulateWay::kRead;
  }
  return done;
}

}  // namespace tessarin
