// Levenshtein rows for a depth-first walk over a trie.
//
// A walk keeps one row of the edit-distance table per depth of its current
// path: row k belongs to the node at depth k and cell j of it holds the
// distance between the node's term (k labels) and the first j characters of
// the query. Row 0 is 0, 1, ..., m. The row of a child is filled from its
// parent's row by the usual recurrence (Wagner and Fischer):
//
//   cur[0] = k + 1
//   cur[j] = min(prev[j-1] + (q_j != label), prev[j] + 1, cur[j-1] + 1)
//
// Two engines compute the same thing, and a walk over either visits the same
// nodes and reports the same distances:
//
// * BandedRows<Cell>: rows cut to a band and clamped (Ukkonen's cut-off,
//   "Algorithms for approximate string matching", 1985). With the bound K,
//   every cell is held as min(value, K + 1): the recurrence only adds 1 and
//   takes minima, so clamped inputs give exactly the clamped output, every
//   value <= K stays exact, and "row minimum > K" reads the same on clamped
//   rows as on exact ones. Cell j of row k is at least |j - k|, so every cell
//   outside the diagonal band k-K <= j <= k+K is clamped anyway: a row stores
//   only its band, min(m, 2K) + 1 cells, and costs O(K) per node however long
//   the query is. Cells are 16-bit when K + 2 fits, wider otherwise, so no
//   cell can overflow.
//
// * BitRows: the bit-parallel form for queries of up to 63 characters
//   (Myers' idea of a row as machine words, here in the simple form of Wu
//   and Manber's "Fast text searching allowing errors", 1992). A row is K + 1
//   words, R_d holding bit j set iff cell j <= d. For a child with label L:
//
//     R'_d = ((R_d << 1) & match(L)) | (R_{d-1} << 1) | R_{d-1} | (R'_{d-1} << 1)
//
//   with R_{-1} = R'_{-1} = 0 and match(L) bit j set iff q_j == L: a cell is
//   <= d by a match on the diagonal (<= d there), or by a substitution,
//   deletion or insertion from a cell <= d - 1. The row minimum exceeds K iff
//   R'_K is empty; the distance is the least d with bit m of R'_d set.
//   FixedBitRows<K> is the same with K fixed at compile time (the small
//   bounds that most calls use): rows of K + 1 words, the loop unrolled.
//
// (search/blocked_rows.h holds a third, for long queries at large bounds,
// where BitRows' one word per unit of the bound cannot go: a row there is
// its cells' vertical deltas, in 64-bit blocks.)
//
// All allocate rows lazily, as the walk reaches new depths (FixedBitRows a
// few ahead, doubling), reusing them for every node at a depth; nothing is
// allocated per node.
//
// fill(depth, label) fills row depth+1 from row depth and returns whether
// the row passes (its minimum is <= K) and cur[m] (any value > K meaning
// "beyond the bound"). Not thread-safe; one engine per walk.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarin::matcher_detail {

struct Filled {
  bool alive;              // the row minimum is <= K
  std::uint64_t distance;  // cur[m]; any value > K: beyond the bound
};

template <class Cell>
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

  Filled fill(std::size_t depth, char32_t label) {
    const std::size_t child = depth + 1;
    if ((child + 1) * width_ > cells_.size()) cells_.resize((child + 1) * width_, cap_);
    const Cell* prev = cells_.data() + depth * width_;
    Cell* cur = cells_.data() + child * width_;
    // Band of each row: columns lo .. hi; cell j lives at index j - lo.
    const std::size_t lo_p = depth > bound_ ? depth - bound_ : 0;
    const std::size_t hi_p = std::min<std::uint64_t>(m_, depth + bound_);
    const std::size_t lo_c = child > bound_ ? child - bound_ : 0;
    const std::size_t hi_c = std::min<std::uint64_t>(m_, child + bound_);
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
      v = std::min({v, static_cast<Cell>(left + 1), cap_});
      cur[j - lo_c] = v;
      left = v;
      best = std::min(best, v);
    }
    const std::uint64_t last = hi_c == m_ ? cur[m_ - lo_c] : cap_;
    return {best <= bound_, last};
  }

 private:
  std::u32string_view query_;
  std::size_t m_;
  std::uint64_t bound_;
  Cell cap_;
  std::size_t width_;
  std::vector<Cell> cells_;  // row k at [k * width_, (k + 1) * width_)
};

// Bit j (1 <= j <= m) of mask(c) is set iff q_j == c. A table for ASCII,
// a short list for the query's other characters.
class QueryMasks {
 public:
  explicit QueryMasks(std::u32string_view query) {
    ascii_.fill(0);
    for (std::size_t j = 1; j <= query.size(); ++j) {
      const char32_t c = query[j - 1];
      const std::uint64_t bit = std::uint64_t{1} << j;
      if (c < ascii_.size()) {
        ascii_[c] |= bit;
        continue;
      }
      auto known = std::find_if(other_.begin(), other_.end(),
                                [c](const auto& entry) { return entry.first == c; });
      if (known == other_.end()) {
        other_.emplace_back(c, bit);
      } else {
        known->second |= bit;
      }
    }
  }

  [[nodiscard]] std::uint64_t mask(char32_t label) const {
    if (label < ascii_.size()) [[likely]] {
      return ascii_[label];
    }
    for (const auto& [c, bits] : other_) {
      if (c == label) return bits;
    }
    return 0;
  }

 private:
  std::array<std::uint64_t, 128> ascii_{};
  std::vector<std::pair<char32_t, std::uint64_t>> other_;
};

// Row 0's word R_d: cell j = j, so bits 0 .. min(d, m).
inline std::uint64_t first_row_word(std::size_t d, std::size_t m, std::uint64_t full) {
  return d >= m ? full : (std::uint64_t{1} << (d + 1)) - 1;
}

class BitRows {
 public:
  static constexpr std::size_t kMaxQuery = 63;
  static constexpr std::uint64_t kMaxBound = 8;

  // Requires query.size() <= kMaxQuery and bound <= kMaxBound.
  BitRows(std::u32string_view query, std::uint64_t bound)
      : m_(query.size()),
        words_(bound + 1),
        full_(m_ == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (m_ + 1)) - 1),
        last_(std::uint64_t{1} << m_),
        masks_(query) {
    words_row_.resize(words_);
    for (std::size_t d = 0; d < words_; ++d) words_row_[d] = first_row_word(d, m_, full_);
  }

  Filled fill(std::size_t depth, char32_t label) {
    const std::size_t child = depth + 1;
    if ((child + 1) * words_ > words_row_.size()) words_row_.resize((child + 1) * words_);
    const std::uint64_t* prev = words_row_.data() + depth * words_;
    std::uint64_t* cur = words_row_.data() + child * words_;
    const std::uint64_t match = masks_.mask(label);
    std::uint64_t prev_below = 0;  // R_{d-1}
    std::uint64_t cur_below = 0;   // R'_{d-1}
    std::uint64_t distance = words_;
    for (std::size_t d = 0; d < words_; ++d) {
      const std::uint64_t r =
          ((prev[d] << 1) & match) | (prev_below << 1) | prev_below | (cur_below << 1);
      cur[d] = r & full_;
      if (distance == words_ && (cur[d] & last_) != 0) distance = d;
      prev_below = prev[d];
      cur_below = cur[d];
    }
    return {cur[words_ - 1] != 0, distance};
  }

 private:
  std::size_t m_;
  std::size_t words_;
  std::uint64_t full_;  // bits 0 .. m
  std::uint64_t last_;  // bit m
  QueryMasks masks_;
  std::vector<std::uint64_t> words_row_;  // row k at [k * words_, (k + 1) * words_)
};

// BitRows with the bound K fixed at compile time: a row is an array of
// K + 1 words and the recurrence is unrolled. Same rows, same answers.
template <std::size_t K>
class FixedBitRows {
 public:
  static constexpr std::size_t kWords = K + 1;

  // Requires query.size() <= BitRows::kMaxQuery.
  explicit FixedBitRows(std::u32string_view query)
      : m_(static_cast<unsigned>(query.size())),
        full_(m_ == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (m_ + 1)) - 1),
        masks_(query) {
    rows_.resize(16);
    for (std::size_t d = 0; d < kWords; ++d) rows_[0][d] = first_row_word(d, m_, full_);
  }

  [[gnu::always_inline]] Filled fill(std::size_t depth, char32_t label) {
    if (depth + 2 > rows_.size()) [[unlikely]] {
      rows_.resize(2 * (depth + 2));
    }
    // The new row is computed in registers and stored at the end, so no
    // store can alias a later load of the parent's words.
    const std::uint64_t* __restrict prev = rows_[depth].data();
    const std::uint64_t match = masks_.mask(label);
    const std::uint64_t full = full_;
    const unsigned m = m_;
    Row cur;
    std::uint64_t prev_below = 0;  // R_{d-1}
    std::uint64_t cur_below = 0;   // R'_{d-1}
    // The words are nested (R_d within R_{d+1}), so the least d with bit m
    // set is K + 1 less the number of words that have it.
    std::uint64_t with_last = 0;
    [&]<std::size_t... D>(std::index_sequence<D...>) {
      (
          [&] {
            const std::uint64_t r =
                (((prev[D] << 1) & match) | (prev_below << 1) | prev_below | (cur_below << 1)) &
                full;
            cur[D] = r;
            with_last += (r >> m) & 1;
            prev_below = prev[D];
            cur_below = r;
          }(),
          ...);
    }(std::make_index_sequence<kWords>{});
    std::uint64_t* __restrict out = rows_[depth + 1].data();
    for (std::size_t d = 0; d < kWords; ++d) out[d] = cur[d];
    return {cur[K] != 0, kWords - with_last};
  }

 private:
  using Row = std::array<std::uint64_t, kWords>;
  unsigned m_;
  std::uint64_t full_;  // bits 0 .. m
  QueryMasks masks_;
  std::vector<Row> rows_;  // row k at rows_[k]
};

}  // namespace tessarin::matcher_detail
