// The trie walk under the optimal string alignment distance: Levenshtein's
// insertions, deletions and substitutions, plus the swap of two neighbouring
// characters, each costing 1, no substring edited twice (Damerau's
// restricted distance; "ca" is 1 from "ac", "abc" is 3 from "ca").
//
// OsaRows is BandedRows (distance_rows.h) with one more term in the
// recurrence, for a child at depth i with label a_i:
//
//   cur[j] = min(..., row_{i-2}[j-2] + 1)   when i, j >= 2,
//                                            a_i == q_{j-1} and a_{i-1} == q_j
//
// so the rows keep, by depth, the labels of the current path as well as the
// rows themselves (the walk already keeps every row of the path). The walk
// itself is the one of matcher.h, unchanged:
// * the pruning test stays exact: the transposition cell row_{i-2}[j-2] + 1
//   is at least row_{i-1}[j-1] (a substitution from the same cell), so no
//   cell of a row is below the previous row's minimum, and a row whose
//   minimum exceeds the bound has no descendant within it;
// * the band stays valid: a swap keeps the length difference, so cell j of
//   row k is still at least |j - k|; row_{i-2}[j-2] lies on the same
//   diagonal as cur[j], inside row i-2's band;
// * clamping at bound + 1 commutes with "+ 1" and min, as before, and the
//   bound may be lowered to max(m, entries) in the same way (the distance
//   is at most the Levenshtein distance).
//
// It is a separate engine, used only when a caller asks for transpositions:
// the Levenshtein walks and their fast row engines are untouched.
//
// Thread safety: as matcher.h; one OsaRows per walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "search/distance.h"
#include "search/distance_rows.h"
#include "search/matcher.h"
#include "util/checked.h"
#include "util/result.h"

namespace tessarin {

namespace matcher_detail {

template <class Cell>
class OsaRows {
 public:
  static constexpr std::uint64_t kMaxBound = static_cast<Cell>(~Cell{0}) - 2;

  OsaRows(std::u32string_view query, std::uint64_t bound)
      : query_(query),
        m_(query.size()),
        bound_(bound),
        cap_(static_cast<Cell>(bound + 1)),
        width_(std::min<std::uint64_t>(m_, 2 * bound) + 1),
        labels_(1, U'\0') {
    cells_.resize(width_, cap_);
    const std::size_t hi = std::min<std::uint64_t>(m_, bound_);
    for (std::size_t j = 0; j <= hi; ++j) cells_[j] = static_cast<Cell>(j);
  }

  Filled fill(std::size_t depth, char32_t label) {
    const std::size_t child = depth + 1;
    if ((child + 1) * width_ > cells_.size()) cells_.resize((child + 1) * width_, cap_);
    if (child >= labels_.size()) labels_.resize(2 * child);
    labels_[child] = label;
    const Cell* prev = cells_.data() + depth * width_;
    Cell* cur = cells_.data() + child * width_;
    const std::size_t lo_p = band_low(depth);
    const std::size_t hi_p = std::min<std::uint64_t>(m_, depth + bound_);
    const std::size_t lo_c = band_low(child);
    const std::size_t hi_c = std::min<std::uint64_t>(m_, child + bound_);
    if (lo_c > hi_c) return {false, std::uint64_t{cap_}};  // deeper than m + K
    // Row child - 2 and the label above this one, for swaps (depth >= 1).
    const Cell* prev2 = depth >= 1 ? cells_.data() + (depth - 1) * width_ : nullptr;
    const std::size_t lo_pp = depth >= 1 ? band_low(depth - 1) : 0;
    const char32_t above = labels_[depth];

    Cell best = cap_;
    Cell left = cap_;  // cur[j - 1]
    std::size_t j = lo_c;
    if (j == 0) {
      left = static_cast<Cell>(child);  // child <= K here
      cur[0] = left;
      best = left;
      ++j;
    }
    for (; j <= hi_c; ++j) {
      Cell v = static_cast<Cell>(prev[j - 1 - lo_p] + (query_[j - 1] != label ? 1 : 0));
      if (j <= hi_p) v = std::min(v, static_cast<Cell>(prev[j - lo_p] + 1));
      if (prev2 != nullptr && j >= 2 && label == query_[j - 2] && above == query_[j - 1]) {
        v = std::min(v, static_cast<Cell>(prev2[j - 2 - lo_pp] + 1));
      }
      v = std::min({v, static_cast<Cell>(left + 1), cap_});
      cur[j - lo_c] = v;
      left = v;
      best = std::min(best, v);
    }
    const std::uint64_t last = hi_c == m_ ? cur[m_ - lo_c] : cap_;
    return {best <= bound_, last};
  }

 private:
  [[nodiscard]] std::size_t band_low(std::size_t row) const {
    return row > bound_ ? row - bound_ : 0;
  }

  std::u32string_view query_;
  std::size_t m_;
  std::uint64_t bound_;
  Cell cap_;
  std::size_t width_;
  std::vector<Cell> cells_;       // row k at [k * width_, (k + 1) * width_)
  std::vector<char32_t> labels_;  // labels_[k]: the label at depth k (k >= 1)
};

}  // namespace matcher_detail

// fuzzy_walk (matcher.h) under the OSA distance: the same visitor, the same
// preorder, the same failures; distances count swaps of neighbours as 1.
template <bool kWithPath, class Visitor>
Result<std::size_t> fuzzy_walk_osa(const Trie& trie, std::u32string_view term,
                                   std::uint32_t max_dist, bool terminal_only, Visitor&& visit) {
  using matcher_detail::OsaRows;
  using matcher_detail::walk_trie;
  if (trie.node_count() == 0) return std::size_t{0};
  const std::uint64_t m = term.size();
  const std::uint64_t ceiling = std::max<std::uint64_t>(m, trie.child_transitions().size());
  const std::uint64_t bound = std::min<std::uint64_t>(max_dist, ceiling);
  return catch_internal([&]() -> Result<std::size_t> {
    if (bound <= OsaRows<std::uint16_t>::kMaxBound) {
      OsaRows<std::uint16_t> rows(term, bound);
      return walk_trie<OsaRows<std::uint16_t>, kWithPath>(trie, rows, bound, terminal_only, visit);
    }
    if (bound <= OsaRows<std::uint32_t>::kMaxBound) {
      OsaRows<std::uint32_t> rows(term, bound);
      return walk_trie<OsaRows<std::uint32_t>, kWithPath>(trie, rows, bound, terminal_only, visit);
    }
    OsaRows<std::uint64_t> rows(term, bound);
    return walk_trie<OsaRows<std::uint64_t>, kWithPath>(trie, rows, bound, terminal_only, visit);
  });
}

// The walk under either distance: search_walk (matcher.h) for Levenshtein.
template <bool kWithPath, class Visitor>
Result<std::size_t> fuzzy_walk_by(Distance distance, const Trie& trie, std::u32string_view term,
                                  std::uint32_t max_dist, bool terminal_only, Visitor&& visit) {
  if (distance == Distance::kOsa) {
    return fuzzy_walk_osa<kWithPath>(trie, term, max_dist, terminal_only, visit);
  }
  return search_walk<kWithPath>(trie, term, max_dist, terminal_only, visit);
}

// fuzzy_match_nodes (matcher.h) under either distance.
Result<std::vector<NodeMatch>> fuzzy_match_nodes_by(Distance distance, const Trie& trie,
                                                    std::u32string_view term,
                                                    std::uint32_t max_dist, bool terminal_only);

}  // namespace tessarin
