// Bit-parallel rows: the rows of search/rows.h for queries of up to 63
// characters and bounds up to 8, with the child filter and the capped rows
// of the fast search.
//
// Rows. Myers' idea of a row as machine words, in the simple form of Wu and
// Manber ("Fast text searching allowing errors", 1992): a row is K + 1
// words, R_d holding bit j set iff cell j <= d. For a child with label L:
//
//   R'_d = ((R_d << 1) & match(L)) | (R_{d-1} << 1) | R_{d-1} | (R'_{d-1} << 1)
//
// with R_{-1} = R'_{-1} = 0 and match(L) bit j set iff q_j == L: a cell is
// <= d by a match on the diagonal (<= d there), or by a substitution,
// deletion or insertion from a cell <= d - 1. The words are nested (R_d
// within R_{d+1}); the row minimum exceeds K iff R'_K is empty, and the
// distance is the least d with bit m of R'_d set, K + 1 less the number of
// words that have it. BitRows<K> fixes K at compile time (the small bounds
// that most calls use: rows of K + 1 words, the recurrence unrolled);
// BitRows<kAnyBound> takes it at run time.
//
// Child filter. A child's row takes the label into account only through the
// diagonal term (R_d << 1) & match(label), and R_d lies within R_K. So if
// the row that a label matching no query character would get is dead (no
// cell <= K: no live cell can absorb one more error), a child can pass only
// if its label is q_j for some bit j of R_K << 1, the query characters just
// after a live column (children_of). The walk then looks those labels up
// among the children instead of filling a row for each (search/walk.h).
//
// Capped rows (kCapped), for the passes of the forward-backward search
// (Mihov and Schulz, "Fast approximate search in large dictionaries",
// Computational Linguistics 30(4), 2004; search/forward_backward.h): the
// query is split after its first h characters, and an alignment counts
// only if it spends at most c errors before it first reaches column h.
// Cells of columns < h above c are dropped (taken as infinite); a cell of
// column h keeps a value above c only when it comes from the cell above it
// (an inserted label, spent after reaching column h). In row words, for
// d > c:
//
//   R'_d = (R'_d & ~low) | (R'_c & low) | (R_{d-1} & bit_h),  low = bits 0 .. h
//
// Values that survive are exact for the constrained alignments, so the
// distance a pass reports is at least the true one, and equal to it when
// some optimal alignment meets the pass's constraint. The filter above is
// exact for capped rows too (its argument uses only the diagonal term).
// With c = 0 the first h characters must be matched exactly.
//
// Memory: K + 1 words per depth reached (rows allocated a few ahead,
// doubling), in the calling thread's spare (util/scratch.h): allocated
// once per thread, not once per query.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "search/rows.h"
#include "util/scratch.h"

namespace tessarin::walk_detail {

inline constexpr std::size_t kMaxBitQuery = 63;
inline constexpr std::uint64_t kMaxBitBound = 8;
// BitRows<kAnyBound>: the bound is given at run time.
inline constexpr std::size_t kAnyBound = ~std::size_t{0};

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

// The tag of the rows' spare (util/scratch.h).
struct BitRowsScratch;

template <std::size_t K, bool kCapped = false>
class BitRows {
  static constexpr bool kFixed = K != kAnyBound;
  static_assert(!kFixed || K <= kMaxBitBound);
  static_assert(kFixed || !kCapped);

 public:
  using Row = std::array<std::uint64_t, kFixed ? K + 1 : kMaxBitBound + 1>;

  // Requires query.size() <= kMaxBitQuery and bound <= kMaxBitBound (equal
  // to K when fixed); with kCapped, split < the query's length and cap < K.
  BitRows(std::u32string_view query, std::uint64_t bound, std::size_t split = 0,
          std::size_t cap = 0)
      : query_(query),
        m_(static_cast<unsigned>(query.size())),
        words_(kFixed ? K + 1 : bound + 1),
        full_(m_ == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (m_ + 1)) - 1),
        low_(kCapped ? (std::uint64_t{2} << split) - 1 : 0),
        split_bit_(kCapped ? std::uint64_t{1} << split : 0),
        cap_(cap),
        masks_(query) {
    rows_.get().resize(16);
    // Row 0's word R_d: cell j = j, so bits 0 .. min(d, m).
    for (std::size_t d = 0; d < words(); ++d) {
      rows_.get()[0][d] = d >= m_ ? full_ : (std::uint64_t{2} << d) - 1;
    }
  }

  [[gnu::always_inline]] Filled fill(std::size_t depth, char32_t label, bool /*parent_done*/) {
    if (depth + 2 > rows_.get().size()) [[unlikely]] {
      rows_.get().resize(2 * (depth + 2));
    }
    // The new row is computed in registers and stored at the end, so no
    // store can alias a later load of the parent's words; word by word, as
    // it was computed (a wider copy would wait on those stores).
    std::uint64_t with_last = 0;
    const Row cur = step(rows_.get()[depth], masks_.mask(label), with_last);
    std::uint64_t* __restrict out = rows_.get()[depth + 1].data();
    for (std::size_t d = 0; d < words(); ++d) out[d] = cur[d];
    return {cur[words() - 1] != 0, words() - with_last};
  }

  [[nodiscard]] bool reaches(std::size_t depth, std::uint64_t d) const {
    return rows_.get()[depth][std::min<std::uint64_t>(d, words() - 1)] != 0;
  }

  // The filter for the children of the node whose row is row `depth`.
  [[nodiscard]] ChildFilter children_of(std::size_t depth) const {
    const Row& row = rows_.get()[depth];
    std::uint64_t with_last = 0;
    if (step(row, 0, with_last)[words() - 1] != 0) return {};
    return {true, (row[words() - 1] << 1) & full_ & ~std::uint64_t{1}};
  }

  [[nodiscard]] bool passes(const ChildFilter& filter, char32_t label) const {
    return (masks_.mask(label) & filter.bits) != 0;
  }

  // Calls f(c) once for each distinct character c among the query
  // characters that the filter's bits name.
  template <class F>
  void for_each_label(std::uint64_t bits, F&& f) const {
    while (bits != 0) {
      const char32_t c = query_[static_cast<std::size_t>(__builtin_ctzll(bits)) - 1];
      f(c);
      bits &= ~masks_.mask(c);
    }
  }

 private:
  [[nodiscard]] std::size_t words() const {
    if constexpr (kFixed) {
      return K + 1;
    } else {
      return words_;
    }
  }

  // The row after `prev` for a label with match bits `match`; counts in
  // with_last the words that have bit m.
  [[gnu::always_inline]] Row step(const Row& prev, std::uint64_t match,
                                  std::uint64_t& with_last) const {
    Row cur{};
    std::uint64_t prev_below = 0;  // R_{d-1}
    std::uint64_t cur_below = 0;   // R'_{d-1}
    const auto word = [&](std::size_t d) {
      std::uint64_t r =
          (((prev[d] << 1) & match) | (prev_below << 1) | prev_below | (cur_below << 1)) & full_;
      if constexpr (kCapped) {
        if (d > cap_) r = (r & ~low_) | (cur[cap_] & low_) | (prev[d - 1] & split_bit_);
      }
      cur[d] = r;
      with_last += (r >> m_) & 1;
      prev_below = prev[d];
      cur_below = r;
    };
    // Unrolled for a fixed bound; capped rows keep the loop, where reading
    // cur[cap_] at a run-time index measured faster than in unrolled code.
    if constexpr (kFixed && !kCapped) {
      [&]<std::size_t... D>(std::index_sequence<D...>) {
        (word(D), ...);
      }(std::make_index_sequence<K + 1>{});
    } else {
      for (std::size_t d = 0; d < words(); ++d) word(d);
    }
    return cur;
  }

  std::u32string_view query_;
  unsigned m_;
  std::size_t words_;
  std::uint64_t full_;       // bits 0 .. m
  std::uint64_t low_;        // bits 0 .. split (kCapped)
  std::uint64_t split_bit_;  // bit split (kCapped)
  std::size_t cap_;
  QueryMasks masks_;
  Scratch<Row, BitRowsScratch> rows_;  // row k at rows_.get()[k], the thread's spare
};

}  // namespace tessarin::walk_detail
