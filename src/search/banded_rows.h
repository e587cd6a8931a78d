// Banded rows: the rows of search/rows.h cut to a band and clamped
// (Ukkonen's cut-off, "Algorithms for approximate string matching", 1985),
// for any query and any bound, under either edit set.
//
// With the bound K, every cell is held as min(value, K + 1): the recurrence
// only adds 1 and takes minima, so clamped inputs give exactly the clamped
// output, every value <= K stays exact, and "row minimum > K" reads the same
// on clamped rows as on exact ones. Cell j of row k is at least |j - k|, so
// every cell outside the diagonal band k-K <= j <= k+K is clamped anyway: a
// row stores only its band, min(m, 2K) + 1 cells, and costs O(K) per node
// however long the query is. Cells are 16-bit when K + 2 fits, wider
// otherwise (Cell), so no cell can overflow.
//
// Edits is the edit set: Levenshtein (search/rows.h), or Transpositions
// (search/transpositions.h), which adds the swap term
//
//   cur[j] = min(..., row_{k-1}[j-2] + 1)   when the swap applies at (k, j)
//
// read from the row two above on the same diagonal (inside that row's band:
// a swap keeps the length difference). The rows keep every row of the path
// (the walk's depth-first order reuses row k for every node at depth k), so
// that row is there; the edit set keeps the labels of the path and says
// where the swap applies.
//
// Memory: (depth + 1) * width cells, one row per depth reached.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "search/rows.h"

namespace tessarin::walk_detail {

template <class Cell, class Edits = Levenshtein>
class BandedRows {
 public:
  // Every value the rows compute must fit with room for one more step.
  static constexpr std::uint64_t kMaxBound = static_cast<Cell>(~Cell{0}) - 2;

  BandedRows(std::u32string_view query, std::uint64_t bound)
      : query_(query),
        m_(query.size()),
        bound_(bound),
        cap_(static_cast<Cell>(bound + 1)),
        width_(std::min<std::uint64_t>(m_, 2 * bound) + 1) {
    // Row 0: columns 0 .. min(m, K), cell j = j.
    cells_.resize(width_, cap_);
    const std::size_t hi = std::min<std::uint64_t>(m_, bound_);
    for (std::size_t j = 0; j <= hi; ++j) cells_[j] = static_cast<Cell>(j);
  }

  Filled fill(std::size_t depth, char32_t label, bool /*parent_done*/) {
    const std::size_t child = depth + 1;
    if ((child + 1) * width_ > cells_.size()) cells_.resize((child + 1) * width_, cap_);
    const Cell* prev = cells_.data() + depth * width_;
    Cell* cur = cells_.data() + child * width_;
    // Band of each row: columns band_low .. band_high; cell j of row k
    // lives at index j - band_low(k).
    const std::size_t lo_p = band_low(depth);
    const std::size_t hi_p = band_high(depth);
    const std::size_t lo_c = band_low(child);
    const std::size_t hi_c = band_high(child);
    // The swap term's inputs: the label above this one and the row two
    // above this one's (from depth 1 on).
    [[maybe_unused]] char32_t above = 0;
    [[maybe_unused]] const Cell* prev2 = nullptr;
    [[maybe_unused]] std::size_t lo_pp = 0;
    if constexpr (Edits::kSwaps) {
      above = edits_.enter(child, label);
      if (depth >= 1) {
        prev2 = cells_.data() + (depth - 1) * width_;
        lo_pp = band_low(depth - 1);
      }
    }
    if (lo_c > hi_c) return {false, std::uint64_t{cap_}};  // deeper than m + K

    Cell best = cap_;
    Cell left = cap_;  // cur[j - 1]
    std::size_t j = lo_c;
    if (j == 0) {
      // lo_c == 0 means child <= K, so the value fits below the cap.
      left = static_cast<Cell>(child);
      cur[0] = left;
      best = left;
      ++j;
    }
    // Here j - 1 >= lo_p and j - 1 <= hi_p: the diagonal is always in the
    // parent's band; the cell above may lie just past its end.
    for (; j <= hi_c; ++j) {
      Cell v = static_cast<Cell>(prev[j - 1 - lo_p] + (query_[j - 1] != label ? 1 : 0));
      if (j <= hi_p) v = std::min(v, static_cast<Cell>(prev[j - lo_p] + 1));
      if constexpr (Edits::kSwaps) {
        if (prev2 != nullptr && j >= 2 && Edits::swaps(query_, j, label, above)) {
          v = std::min(v, static_cast<Cell>(prev2[j - 2 - lo_pp] + 1));
        }
      }
      v = std::min({v, static_cast<Cell>(left + 1), cap_});
      cur[j - lo_c] = v;
      left = v;
      best = std::min(best, v);
    }
    const std::uint64_t last = hi_c == m_ ? cur[m_ - lo_c] : cap_;
    return {best <= bound_, last};
  }

  [[nodiscard]] bool reaches(std::size_t depth, std::uint64_t d) const {
    const Cell* row = cells_.data() + depth * width_;
    const std::size_t lo = band_low(depth);
    const std::size_t hi = band_high(depth);
    for (std::size_t j = lo; j <= hi; ++j) {
      if (row[j - lo] <= d) return true;
    }
    return false;
  }

 private:
  [[nodiscard]] std::size_t band_low(std::size_t row) const {
    return row > bound_ ? row - bound_ : 0;
  }
  [[nodiscard]] std::size_t band_high(std::size_t row) const {
    return std::min<std::uint64_t>(m_, row + bound_);
  }

  std::u32string_view query_;
  std::size_t m_;
  std::uint64_t bound_;
  Cell cap_;
  std::size_t width_;
  std::vector<Cell> cells_;  // row k at [k * width_, (k + 1) * width_)
  [[no_unique_address]] Edits edits_;
};

}  // namespace tessarin::walk_detail
