// Populating the page tables of memory that is mapped but not yet touched
// (a file or a shared memory object mapped in place), so that the first
// reads of it fault no more.
//
// populate_pages asks the kernel to map every page of the given ranges
// (madvise MADV_POPULATE_READ, Linux 5.14 and later) or, where it cannot,
// hints them (MADV_WILLNEED) and reads one byte of each page. Ranges are
// widened to whole pages; empty ranges are skipped; a page that the range
// before took already is not taken again (ranges in ascending order of
// address, as walked_arrays gives them, count each page once). Only reads: the memory
// must be readable throughout each range (the caller's arrays), and stays
// unchanged. Pages already present cost a walk of their page table entries.
//
// Cost: O(pages) system work, no allocation. Thread safety: any thread, the
// ranges alive and unmapped by nobody meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessarin {

// How the pages were populated.
enum class PopulateWay : std::uint8_t {
  kNone,      // no range held a byte
  kPopulate,  // MADV_POPULATE_READ
  kRead,      // hinted, then one byte read per page
};

struct Populated {
  std::size_t bytes = 0;  // the ranges' bytes, widened to whole pages
  PopulateWay way = PopulateWay::kNone;
};

Populated populate_pages(std::span<const std::span<const std::uint8_t>> ranges);

}  // namespace tessarin
