// Transpositions: the optimal string alignment distance (Damerau's
// restricted distance). Levenshtein's insertions, deletions and
// substitutions, plus the swap of two neighbouring characters, each costing
// 1, no substring edited twice ("ca" is 1 from "ac", "abc" is 3 from "ca").
//
// The edit set Transpositions adds one term to the rows' recurrence
// (search/rows.h), for a child at depth i with label a_i:
//
//   cur[j] = min(..., row_{i-2}[j-2] + 1)   when i, j >= 2,
//                                            a_i == q_{j-1} and a_{i-1} == q_j
//
// so the walk needs, by depth, the labels of the current path as well as
// the rows: BandedRows<Cell, Transpositions> (search/banded_rows.h) keeps
// both, and the walk itself is the one of search/walk.h, unchanged:
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
// Only the banded rows carry the term, so a walk under this edit set takes
// the plain path of search/dispatch.h with banded rows.
//
// This header also gives the walk under a distance named at run time
// (Distance): a caller that only ever counts Levenshtein's edits includes
// search/dispatch.h and compiles nothing of this one.
//
// Thread safety: one Transpositions per rows, per walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "search/dispatch.h"
#include "search/distance.h"
#include "util/result.h"

namespace tessarin {

class Transpositions {
 public:
  static constexpr bool kSwaps = true;

  // Takes `label` as the label at `depth` (>= 1) of the current path and
  // returns the label at depth - 1 (0 at depth 1: the root has none).
  char32_t enter(std::size_t depth, char32_t label) {
    if (depth >= labels_.size()) labels_.resize(2 * depth);
    labels_[depth] = label;
    return labels_[depth - 1];
  }

  // Whether the swap term applies at column j (2 <= j <= m) of a row whose
  // label is `label`, the label above it being `above`.
  static bool swaps(std::u32string_view query, std::size_t j, char32_t label, char32_t above) {
    return label == query[j - 2] && above == query[j - 1];
  }

 private:
  std::vector<char32_t> labels_ = std::vector<char32_t>(1, U'\0');  // labels_[k]: at depth k
};

// search_walk (search/dispatch.h) under the distance given.
template <bool kWithPath, class Visitor>
Result<std::size_t> search_walk(Distance distance, const Trie& trie, std::u32string_view term,
                                std::uint32_t max_dist, bool terminal_only, Visitor&& visit) {
  if (distance == Distance::kOsa) {
    return search_walk<kWithPath, Transpositions>(trie, term, max_dist, terminal_only, visit);
  }
  return search_walk<kWithPath, Levenshtein>(trie, term, max_dist, terminal_only, visit);
}

}  // namespace tessarin
