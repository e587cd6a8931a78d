// The rows of a walk: what every row engine provides to the walk
// (search/walk.h), and the edit set most walks count, Levenshtein's.
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
// (search/transpositions.h adds a term for swaps of neighbours). Each engine
// holds a bound K fixed for the walk and is exact where the walk looks: a
// cell <= K is its exact value, and any value > K stands for "beyond the
// bound". The engines, each the same table:
// * BandedRows<Cell, Edits> (search/banded_rows.h): the band of cells that
//   can stay within K, clamped at K + 1; any query, any bound, either edit
//   set;
// * BitRows<K> (search/bit_rows.h): bit-parallel rows for queries of up to
//   63 characters and bounds up to 8, with the child filter and the capped
//   rows of the fast search;
// * BlockedRows (search/blocked_rows.h): bit vectors of any length, for long
//   queries at large bounds.
// A walk over any of them visits the same nodes and reports the same
// distances; search/dispatch.h chooses.
//
// What the walk asks of them (WalkRows):
// * fill(depth, label, parent_done) fills row depth + 1 from row depth for a
//   child with `label`, and returns whether the new row's minimum is <= K
//   and its last cell cur[m] (any value > K meaning "beyond the bound").
//   parent_done says that the walk needs row depth no more (the child is
//   its parent's last), so that an engine may write over it.
// * reaches(depth, d), for d < K: whether some cell of row `depth`, the one
//   filled last at that depth, is <= d. Only a steering visitor
//   (search/walk_control.h) makes the walk ask.
// Rows that can tell which children may pass (BitRows) also give the walk's
// child filter (search/walk.h): children_of(depth), the ChildFilter for the
// children of the node whose row is row `depth`; passes(filter, label); and
// for_each_label(bits, f), each distinct query character the bits name.
// Rows are allocated lazily, as the walk reaches new depths, and reused for
// every node at a depth; nothing is allocated per node. Not thread-safe: one
// engine per walk.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace tessarin::walk_detail {

struct Filled {
  bool alive;              // the row minimum is <= K
  std::uint64_t distance;  // cur[m]; any value > K: beyond the bound
};

// Which children of a node can pass: any (filter false), or only those
// whose label's match bits meet `bits`.
struct ChildFilter {
  bool filter = false;
  std::uint64_t bits = 0;
};

template <class R>
concept WalkRows = requires(R& rows, std::size_t depth, char32_t label, std::uint64_t d) {
  { rows.fill(depth, label, true) } -> std::same_as<Filled>;
  { rows.reaches(depth, d) } -> std::same_as<bool>;
};

}  // namespace tessarin::walk_detail

namespace tessarin {

// The edit set of the recurrence above: insertions, deletions and
// substitutions, each costing 1. Every row engine and every path of the
// dispatch serves it. (Edit sets are types, so that a walk under one
// compiles nothing of another: search/transpositions.h has the other.)
struct Levenshtein {
  static constexpr bool kSwaps = false;
};

}  // namespace tessarin
