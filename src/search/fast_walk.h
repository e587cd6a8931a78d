// The walk of matcher.h with a child filter, over a verified tree or a
// reversed trie (search/search_aids.h), for the fast search
// (search/matcher.h).
//
// Child filter. The rows are those of FixedBitRows (distance_rows.h): row
// word R_d holds bit j iff cell j <= d, for d = 0 .. K. A child's row takes
// the label into account only through the diagonal term (R_d << 1) &
// match(label), and R_d lies within R_K. So if the row that a label
// matching no query character would get is dead (no cell <= K: no live
// cell can absorb one more error), a child can pass only if its label is
// q_j for some bit j of R_K << 1, the query characters just after a live
// column. At such a node the walk looks those labels up among the children
// (binary search, the children being ordered by label or a derived order
// that is) and fills rows only for the children it finds, in their
// child_transitions order, instead of one row per child; a short child
// range is scanned instead, with the same test on each label. The rows
// filled, the nodes reported and their order are those of the plain walk
// less the children that would have been filled and found dead.
//
// Capped rows, for the passes of the forward-backward search (Mihov and
// Schulz, "Fast approximate search in large dictionaries", Computational
// Linguistics 30(4), 2004): the query is split after its first h
// characters, and an alignment counts only if it spends at most c errors
// before it first reaches column h. Cells of columns < h above c are
// dropped (taken as infinite); a cell of column h keeps a value above c
// only when it comes from the cell above it (an inserted label, spent
// after reaching column h). In row words, for d > c:
//
//   R'_d = (R'_d & ~low) | (R'_c & low) | (R_{d-1} & bit_h),  low = bits 0 .. h
//
// Values that survive are exact for the constrained alignments, so the
// distance a pass reports is at least the true one, and equal to it when
// some optimal alignment meets the pass's constraint. The filter above is
// exact for capped rows too (its argument uses only the diagonal term).
//
// Views give the walk its graph, each node by a handle: ForwardView reads a
// Trie whose TreeAids::tree holds through the per-position entries derived
// from it (a handle is a position of child_transitions; every read is in
// bounds, and each entry is examined at most once); ReversedView reads a
// ReversedTrie (a handle is a node).
//
// Thread safety: one FilterRows per walk; the views only read.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "index/trie.h"
#include "search/distance_rows.h"
#include "search/search_aids.h"
#include "search/walk_control.h"

namespace tessarin::matcher_detail {

// Which children of a node can pass: any (filter false), or only those
// whose label's match bits meet `bits`.
struct ChildFilter {
  bool filter = false;
  std::uint64_t bits = 0;
};

template <std::size_t K, bool kCapped>
class FilterRows {
 public:
  static constexpr std::size_t kWords = K + 1;
  using Row = std::array<std::uint64_t, kWords>;

  // Requires query.size() <= BitRows::kMaxQuery; with kCapped, split < the
  // query's length and cap < K.
  explicit FilterRows(std::u32string_view query, std::size_t split = 0, std::size_t cap = 0)
      : query_(query),
        m_(static_cast<unsigned>(query.size())),
        full_(m_ == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (m_ + 1)) - 1),
        low_(kCapped ? (std::uint64_t{2} << split) - 1 : 0),
        split_bit_(kCapped ? std::uint64_t{1} << split : 0),
        cap_(cap),
        masks_(query) {
    rows_.resize(16);
    for (std::size_t d = 0; d < kWords; ++d) rows_[0][d] = first_row_word(d, m_, full_);
  }

  [[gnu::always_inline]] Filled fill(std::size_t depth, char32_t label) {
    if (depth + 2 > rows_.size()) [[unlikely]] {
      rows_.resize(2 * (depth + 2));
    }
    const Row cur = step(rows_[depth], masks_.mask(label));
    rows_[depth + 1] = cur;
    std::uint64_t with_last = 0;
    for (std::size_t d = 0; d < kWords; ++d) with_last += (cur[d] >> m_) & 1;
    return {cur[K] != 0, kWords - with_last};
  }

  // The filter for the children of the node whose row is row `depth`.
  [[nodiscard]] ChildFilter children_of(std::size_t depth) const {
    const Row& row = rows_[depth];
    if (step(row, 0)[K] != 0) return {};
    return {true, (row[K] << 1) & full_ & ~std::uint64_t{1}};
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
  [[gnu::always_inline]] Row step(const Row& prev, std::uint64_t match) const {
    Row cur{};
    std::uint64_t prev_below = 0;  // R_{d-1}
    std::uint64_t cur_below = 0;   // R'_{d-1}
    for (std::size_t d = 0; d < kWords; ++d) {
      std::uint64_t r =
          (((prev[d] << 1) & match) | (prev_below << 1) | prev_below | (cur_below << 1)) & full_;
      if constexpr (kCapped) {
        if (d > cap_) r = (r & ~low_) | (cur[cap_] & low_) | (prev[d - 1] & split_bit_);
      }
      cur[d] = r;
      prev_below = prev[d];
      cur_below = r;
    }
    return cur;
  }

  std::u32string_view query_;
  unsigned m_;
  std::uint64_t full_;       // bits 0 .. m
  std::uint64_t low_;        // bits 0 .. split (kCapped)
  std::uint64_t split_bit_;  // bit split (kCapped)
  std::size_t cap_;
  QueryMasks masks_;
  std::vector<Row> rows_;  // row k at rows_[k]
};

// A Trie whose TreeAids::tree holds, read through TreeAids::positions: the
// walk's handle of a node is its position in child_transitions, and one
// entry there holds its label, terminal flag and child range.
class ForwardView {
 public:
  ForwardView(const Trie& trie, const TreeAids& aids)
      : root_(aids.root),
        entries_(aids.positions.data()),
        transitions_(trie.child_transitions().data()),
        by_label_(aids.by_label.empty() ? nullptr : aids.by_label.data()) {}

  [[nodiscard]] ChildRange root() const { return root_; }
  [[nodiscard]] ChildRange children(std::size_t position) const {
    const TreeAids::Position& entry = entries_[position];
    return {entry.begin, entry.end_terminal & ~TreeAids::kTerminalBit};
  }
  [[nodiscard]] std::size_t child(std::size_t position) const { return position; }
  [[nodiscard]] char32_t label(std::size_t position) const { return entries_[position].label; }
  [[nodiscard]] bool terminal(std::size_t position) const {
    return (entries_[position].end_terminal & TreeAids::kTerminalBit) != 0;
  }
  [[nodiscard]] std::size_t node(std::size_t position) const { return transitions_[position]; }

  // Appends to `out` the positions in `range` whose child has `label`, in
  // increasing order.
  void find(ChildRange range, char32_t label, std::vector<std::uint32_t>& out) const {
    const auto sorted = [&](std::size_t p) { return by_label_ ? by_label_[p] : p; };
    std::size_t lo = range.begin;
    std::size_t hi = range.end;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (entries_[sorted(mid)].label < label) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    for (; lo < range.end && entries_[sorted(lo)].label == label; ++lo) {
      out.push_back(static_cast<std::uint32_t>(sorted(lo)));
    }
  }

 private:
  ChildRange root_;
  const TreeAids::Position* entries_;
  const std::uint32_t* transitions_;
  const std::uint32_t* by_label_;
};

// A ReversedTrie: the children of r are the nodes first_child of r ..
// first_child of r + 1, less one, in ascending label order.
class ReversedView {
 public:
  explicit ReversedView(const ReversedTrie& trie) : entries_(trie.entries.data()) {}

  [[nodiscard]] ChildRange root() const { return children(0); }
  [[nodiscard]] std::size_t node(std::size_t r) const { return r; }
  [[nodiscard]] ChildRange children(std::size_t node) const {
    return {entries_[node].first_child, entries_[node + 1].first_child};
  }
  [[nodiscard]] std::size_t child(std::size_t position) const { return position; }
  [[nodiscard]] char32_t label(std::size_t node) const { return entries_[node].label; }
  [[nodiscard]] bool terminal(std::size_t node) const {
    return entries_[node].term_begin < entries_[node + 1].term_begin;
  }

  void find(ChildRange range, char32_t label, std::vector<std::uint32_t>& out) const {
    std::size_t lo = range.begin;
    std::size_t hi = range.end;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (entries_[mid].label < label) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo < range.end && entries_[lo].label == label)
      out.push_back(static_cast<std::uint32_t>(lo));
  }

 private:
  const ReversedTrie::Entry* entries_;
};

// Child ranges this short are scanned, label by label, rather than
// searched.
inline constexpr std::size_t kScanChildren = 8;

// The walk of matcher.h (same visitor, same preorder, same distances) with
// the child filter. Returns the number of rows filled.
template <class View, class Rows, bool kWithPath, class Visitor>
std::size_t filtered_walk(const View& view, Rows& rows, std::uint64_t bound, bool terminal_only,
                          Visitor& visit) {
  // A frame walks a child range (positions next .. end - 1, with the
  // filter's bits when `bits` is not 0) or a list of positions that the
  // filter picked (picked[next .. end - 1]).
  struct Frame {
    std::size_t next;
    std::size_t end;
    std::uint64_t bits;
    bool listed;
    std::size_t base;  // where the list begins in `picked` (listed)
  };
  std::vector<Frame> frames;
  frames.reserve(32);
  std::vector<std::uint32_t> picked;
  std::vector<char32_t> path(kWithPath ? 32 : 0);
  std::size_t visited = 0;

  // The frame for the children of the node whose row is row `depth`;
  // false when none of them can pass.
  const auto open = [&](ChildRange range, std::size_t depth, Frame& frame) {
    const ChildFilter filter = rows.children_of(depth);
    if (!filter.filter) {
      frame = {range.begin, range.end, 0, false, 0};
      return true;
    }
    if (filter.bits == 0) return false;
    if (range.end - range.begin <= kScanChildren) {
      frame = {range.begin, range.end, filter.bits, false, 0};
      return true;
    }
    const std::size_t base = picked.size();
    std::size_t labels = 0;
    rows.for_each_label(filter.bits, [&](char32_t c) {
      view.find(range, c, picked);
      ++labels;
    });
    if (picked.size() == base) return false;
    if (labels > 1) {
      std::sort(picked.begin() + static_cast<std::ptrdiff_t>(base), picked.end());
    }
    frame = {base, picked.size(), 0, true, base};
    return true;
  };

  Frame cur{};
  if (!open(view.root(), 0, cur)) return 0;
  std::size_t depth = 0;  // of the expanded node; frames.size() == depth
  for (;;) {
    if (cur.next >= cur.end) {
      if (depth == 0) break;
      --depth;
      if (cur.listed) picked.resize(cur.base);
      cur = frames.back();
      frames.pop_back();
      continue;
    }
    const std::size_t position = cur.listed ? picked[cur.next] : cur.next;
    ++cur.next;
    const std::size_t child = view.child(position);
    const char32_t label = view.label(child);
    if (label == 0) continue;
    if (cur.bits != 0 && !rows.passes(ChildFilter{true, cur.bits}, label)) continue;

    const Filled row = rows.fill(depth, label);
    ++visited;
    if (!row.alive) continue;
    if constexpr (kWithPath) {
      if (depth >= path.size()) [[unlikely]] {
        path.resize(2 * depth + 2);
      }
      path[depth] = label;
    }
    if (row.distance <= bound && (!terminal_only || view.terminal(child))) {
      const std::u32string_view term =
          kWithPath ? std::u32string_view(path.data(), depth + 1) : std::u32string_view();
      if (visit(view.node(child), static_cast<std::uint32_t>(row.distance), term) == Walk::kStop) {
        return visited;
      }
    }
    const ChildRange below = view.children(child);
    if (below.begin < below.end) {
      Frame next{};
      if (open(below, depth + 1, next)) {
        frames.push_back(cur);
        cur = next;
        ++depth;
      }
    }
  }
  return visited;
}

}  // namespace tessarin::matcher_detail
