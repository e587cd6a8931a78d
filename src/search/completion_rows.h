// Rows wrappers for prefix completion (query/complete.h): what a walk
// fills when the query is the beginning of a term rather than the term.
// Each wraps the rows the dispatch made (search/dispatch.h, `wrap`): an
// ExactHeadRows holds a reference to them, a CompletionRows holds what it
// wraps (an ExactHeadRows) by value. The walk itself is unchanged.
//
// * ExactHeadRows<Rows>: the first n labels of a term must be the first n
//   characters of the query (n <= m). A child at depth <= n whose label is
//   not the query's character there is dead; nodes above depth n are never
//   reported (their distance reads as beyond any bound), so every reported
//   node's term begins with those n characters. On such a path the rows
//   are exact: the row of q[0..d) is alive (its cell d is 0). With the child
//   filter (BitRows), the children of a node above depth n are filtered
//   down to the one label that can pass. The distance is the distance to
//   the whole query: stripping a common head changes neither Levenshtein's
//   distance nor the optimal string alignment distance, so this is also
//   the distance of the rest of the query to the rest of the term.
// * CompletionRows<Rows>: prefix semantics over any rows. A node's distance
//   is the least last cell on its path (the root's own, m, counted when
//   `root_within` says so: an empty head), so a node within the bound keeps
//   its whole subtree alive, at that distance or lower. A walk over these
//   rows reports every node that completes the query within the bound, with
//   its completion distance, by path; it visits whole subtrees, which the
//   fast completion avoids (query/complete.cpp). Below a dead row the
//   wrapped rows are not filled again (every deeper row is dead too).
//
// Neither steers: reaches() is the wrapped rows'. Memory: a few bytes per
// depth reached. Not thread-safe: one per walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "search/rows.h"

namespace tessarin::walk_detail {

// A distance the walk never reports: beyond any bound.
inline constexpr std::uint64_t kBeyond = ~std::uint64_t{0};

template <class Rows>
class ExactHeadRows {
 public:
  // Requires head <= query.size().
  ExactHeadRows(Rows& rows, std::u32string_view query, std::size_t head)
      : rows_(rows), query_(query), head_(head) {}

  [[gnu::always_inline]] Filled fill(std::size_t depth, char32_t label, bool parent_done) {
    if (depth >= head_) return rows_.fill(depth, label, parent_done);
    if (label != query_[depth]) return {false, kBeyond};
    const Filled filled = rows_.fill(depth, label, parent_done);
    return depth + 1 < head_ ? Filled{filled.alive, kBeyond} : filled;
  }

  [[nodiscard]] bool reaches(std::size_t depth, std::uint64_t d) const {
    return rows_.reaches(depth, d);
  }

  // The child filter (BitRows only): above depth n, only the query's
  // character there, named by its match bit.
  [[nodiscard]] ChildFilter children_of(std::size_t depth) const {
    if (depth < head_) return {true, std::uint64_t{1} << (depth + 1)};
    return rows_.children_of(depth);
  }
  [[nodiscard]] bool passes(const ChildFilter& filter, char32_t label) const {
    return rows_.passes(filter, label);
  }
  template <class F>
  void for_each_label(std::uint64_t bits, F&& f) const {
    rows_.for_each_label(bits, f);
  }

 private:
  Rows& rows_;
  std::u32string_view query_;
  std::size_t head_;
};

template <class Rows>
class CompletionRows {
 public:
  CompletionRows(Rows rows, std::uint64_t bound, std::uint64_t root_distance)
      : rows_(rows), bound_(bound), best_(16, kBeyond), live_(16, 0) {
    best_[0] = root_distance;
    live_[0] = 1;
  }

  Filled fill(std::size_t depth, char32_t label, bool parent_done) {
    if (depth + 2 > best_.size()) {
      best_.resize(2 * (depth + 2), kBeyond);
      live_.resize(2 * (depth + 2), 0);
    }
    std::uint64_t best = best_[depth];
    bool live = false;
    if (live_[depth] != 0) {
      const Filled filled = rows_.fill(depth, label, parent_done);
      live = filled.alive;
      if (filled.distance <= bound_) best = std::min(best, filled.distance);
    }
    best_[depth + 1] = best;
    live_[depth + 1] = live ? 1 : 0;
    return {live || best <= bound_, best};
  }

  [[nodiscard]] bool reaches(std::size_t depth, std::uint64_t d) const {
    return rows_.reaches(depth, d);
  }

 private:
  Rows rows_;
  std::uint64_t bound_;
  std::vector<std::uint64_t> best_;  // the least distance on the path, by depth
  std::vector<unsigned char> live_;  // whether the wrapped row at a depth is alive
};

}  // namespace tessarin::walk_detail
