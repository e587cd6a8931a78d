// Typo-tolerant search over the trie: every node whose term (the labels from
// the root down to it, the root's own excluded) lies within a bounded
// Levenshtein distance of a query.
//
// One walk serves every caller (fuzzy_walk below): fuzzy_match() reports
// terminal nodes with their terms, up to a limit, to a visitor (the binding's
// builds Python objects as the walk goes; the vector form records them), and
// fuzzy_match_nodes() records node indices. The walk:
//
//   depth-first from node 0, children in child_transitions order; a child
//   with label 0 is skipped with its subtree; the child's row is filled from
//   its parent's (distance_rows.h); when the row minimum exceeds max_dist the
//   child is skipped with its subtree; otherwise, when the last cell (the
//   distance between the whole query and the child's term) is within
//   max_dist and the child passes the terminal filter, the visitor is called,
//   and it may stop the walk; then the walk descends into the child.
//
// Results come in preorder, a node before its descendants. The root is only
// the starting point: its label and terminal flag are never read.
//
// How the walk stays sound on any index and any query:
// * Rows are allocated lazily, one per depth actually reached, and hold only
//   the diagonal band that can stay within the bound, so a huge max_dist or
//   a 100,000-character query costs memory and time in proportion to the
//   nodes visited; where that band is most of a long query's row, the rows
//   are bit vectors instead (search/blocked_rows.h: m / 64 words a node, and
//   a last child's row replaces its parent's). The bound is first lowered
//   to max(m, length of
//   child_transitions) when above it: no cell of any row the walk can fill
//   exceeds that (a cell of row k is at most max(k, m), and the depth stays
//   below the number of child entries examined), so the walk is the same.
// * Cells are clamped at bound + 1 and sized for that value (16-bit when it
//   fits, 32 or 64 otherwise): no cell overflows, every distance within the
//   bound is exact, and the pruning test is exactly "row minimum > max_dist".
// * An explicit stack, not recursion: no native stack depth to run out of.
// * Every array read goes through the trie's checked accessors; a position
//   outside its array ends the call with an internal failure. An index that
//   was checked once, when built or restored (Trie::trust, kInBounds: every read
//   a walk can make is inside its array), is walked with plain reads; the
//   walk is otherwise the same, the examined-entry bound below included.
// * Child lists that are not a tree (a shared child, a cycle) could make the
//   walk visit exponentially many paths. In a tree every entry of
//   child_transitions is examined at most once per walk (each node is entered
//   along one path, and two nodes' child ranges cannot share an entry), so
//   the walk counts examined entries and ends with an internal failure once
//   the count exceeds the length of child_transitions. A walk therefore
//   costs O(len(child_transitions) * min(m, max_dist)) at most, and on a
//   tree nothing changes.
// * An index with no nodes has no root: the walk visits nothing.
//
// Thread safety: reads the trie only; all working state belongs to the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "search/blocked_rows.h"
#include "search/distance_rows.h"
#include "search/fast_walk.h"
#include "search/forward_backward.h"
#include "search/search_aids.h"
#include "search/walk_control.h"
#include "util/checked.h"
#include "util/result.h"

namespace tessarin {

// A terminal node within the bound, with its term in UTF-8.
struct MatchResult {
  std::string term;
  std::size_t node = 0;
  std::uint32_t distance = 0;
};

// A node within the bound. Distances never exceed max_dist, an unsigned
// 32-bit value, so they are held in 32 bits.
struct NodeMatch {
  std::size_t node = 0;
  std::uint32_t distance = 0;
};

// The terminal nodes within max_dist of term, in preorder, with their terms;
// at most `limit` of them, the walk stopping at the limit-th. The vector form
// of the fuzzy_match template below, which holds the method's logic.
Result<std::vector<MatchResult>> fuzzy_match(const Trie& trie, std::u32string_view term,
                                             std::uint32_t max_dist,
                                             std::optional<std::size_t> limit);

// The nodes within max_dist of term, in preorder; only terminal ones when
// terminal_only is set.
Result<std::vector<NodeMatch>> fuzzy_match_nodes(const Trie& trie, std::u32string_view term,
                                                 std::uint32_t max_dist, bool terminal_only);

// Which rows the walk uses; kAuto picks the bit-parallel rows where they
// apply, the blocked rows for long queries at large bounds, and the banded
// rows otherwise. Forcing one is for tests: all give the same walk.
enum class RowEngine : unsigned char { kAuto, kBanded, kBitParallel, kBlocked };

namespace matcher_detail {

// The examined-entry bound was passed: the child lists are not a tree.
[[noreturn]] void fail_not_a_tree(std::size_t limit);

// The trie's arrays as the walk reads them: through the checked accessors
// (kChecked), or plainly, for an index whose reads_in_bounds() held when it
// was built or restored (Trie::trust, kInBounds).
template <bool kChecked>
class TrieReads {
 public:
  explicit TrieReads(const Trie& trie)
      : trie_(trie),
        shifts_(trie.node_shifts().data()),
        shift_count_(trie.node_shifts().size()),
        transitions_(trie.child_transitions().data()),
        transition_count_(trie.child_transitions().size()),
        labels_(trie.child_labels().data()),
        label_count_(trie.child_labels().size()),
        terminal_(trie.is_terminal().data()) {}

  [[nodiscard]] ChildRange children(std::size_t node) const {
    if constexpr (kChecked) {
      return trie_.children(node);
    } else {
      const std::size_t begin = shifts_[node];
      const std::size_t end = node + 1 < shift_count_ ? shifts_[node + 1] : transition_count_;
      return {begin, end > begin ? end : begin};
    }
  }
  [[nodiscard]] std::uint32_t child(std::size_t position) const {
    if constexpr (kChecked) {
      return trie_.child(position);
    } else {
      return transitions_[position];
    }
  }
  [[nodiscard]] char32_t label(std::size_t node) const {
    if constexpr (kChecked) {
      return trie_.label(node);
    } else {
      return labels_[node];
    }
  }
  // A hint that the walk is about to read the child entries from `position`
  // on, their labels and maybe their child ranges. The package's builder
  // numbers nodes breadth-first (child_transitions is 1, 2, ..., n - 1), so
  // the entry at `position` usually names node position + 1: its label and
  // node_shifts entry are fetched alongside the entry instead of after it.
  // A hint only; nothing depends on it.
  void expect_children_at(std::size_t position) const {
    if constexpr (!kChecked) {
      if (position + 1 < label_count_) {
        __builtin_prefetch(labels_ + position + 1);
        __builtin_prefetch(shifts_ + position + 1);
      }
    }
  }
  [[nodiscard]] bool terminal(std::size_t node) const {
    if constexpr (kChecked) {
      return trie_.terminal(node);
    } else {
      return terminal_[node] != 0;
    }
  }

 private:
  const Trie& trie_;
  const std::uint32_t* shifts_;
  std::size_t shift_count_;
  const std::uint32_t* transitions_;
  std::size_t transition_count_;
  const char32_t* labels_;
  std::size_t label_count_;
  const std::uint8_t* terminal_;
};

// The walk. The frame of the node being expanded stays in locals (next,
// end); the stack holds the frames above it. A child with no children gets
// no frame (its range is still read, in the same order).
template <class Rows, bool kWithPath, bool kChecked, class Visitor>
std::size_t walk(const Trie& trie, Rows& rows, std::uint64_t bound, bool terminal_only,
                 Visitor& visit) {
  struct Frame {
    std::size_t next;
    std::size_t end;
  };
  const TrieReads<kChecked> reads(trie);
  std::vector<Frame> frames;
  frames.reserve(32);
  // path[d] is the label at depth d + 1 on the way to the current node
  // (kWithPath only); entries past the current depth are stale.
  std::vector<char32_t> path(kWithPath ? 32 : 0);
  const std::size_t max_examined = trie.child_transitions().size();
  std::size_t examined = 0;
  std::size_t visited = 0;

  const ChildRange root = reads.children(0);
  std::size_t next = root.begin;
  std::size_t end = root.end;
  std::size_t depth = 0;  // of the expanded node; frames.size() == depth
  for (;;) {
    if (next >= end) {
      if (depth == 0) break;
      --depth;
      next = frames.back().next;
      end = frames.back().end;
      frames.pop_back();
      continue;
    }
    const std::size_t child = reads.child(next++);
    if (++examined > max_examined) [[unlikely]] {
      fail_not_a_tree(max_examined);
    }
    const char32_t label = reads.label(child);
    if (label == 0) continue;

    // The blocked rows reuse the parent's row for its last child.
    const Filled row = [&] {
      if constexpr (requires { rows.fill(depth, label, true); }) {
        return rows.fill(depth, label, next == end);
      } else {
        return rows.fill(depth, label);
      }
    }();
    ++visited;
    if (!row.alive) continue;
    if constexpr (kWithPath) {
      if (depth >= path.size()) [[unlikely]] {
        path.resize(2 * depth + 2);
      }
      path[depth] = label;
    }
    if (row.distance <= bound && (!terminal_only || reads.terminal(child))) {
      const std::u32string_view term =
          kWithPath ? std::u32string_view(path.data(), depth + 1) : std::u32string_view();
      if (visit(child, static_cast<std::uint32_t>(row.distance), term) == Walk::kStop) {
        return visited;
      }
    }
    const ChildRange below = reads.children(child);
    if (below.begin < below.end) {
      reads.expect_children_at(below.begin);
      frames.push_back({next, end});
      next = below.begin;
      end = below.end;
      ++depth;
    }
  }
  return visited;
}

// The walk with plain reads where the trie allows them.
template <class Rows, bool kWithPath, class Visitor>
std::size_t walk_trie(const Trie& trie, Rows& rows, std::uint64_t bound, bool terminal_only,
                      Visitor& visit) {
  if (trie.trust() >= Trust::kInBounds)
    return walk<Rows, kWithPath, false>(trie, rows, bound, terminal_only, visit);
  return walk<Rows, kWithPath, true>(trie, rows, bound, terminal_only, visit);
}

}  // namespace matcher_detail

// The walk itself. Calls visit(node, distance, path) for every node within
// max_dist (only terminal ones when terminal_only is set), in preorder, until
// it answers Walk::kStop; `path` holds the node's term as code points when
// kWithPath is set, and is empty otherwise. Returns the number of nodes
// visited (rows filled), or the internal failure met on a corrupt index.
// Exceptions thrown by `visit` other than InternalFailure pass through.
template <bool kWithPath, class Visitor>
Result<std::size_t> fuzzy_walk(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                               bool terminal_only, Visitor&& visit,
                               RowEngine engine = RowEngine::kAuto) {
  using matcher_detail::BandedRows;
  using matcher_detail::BitRows;
  if (trie.node_count() == 0) return std::size_t{0};
  const std::uint64_t m = term.size();
  const std::uint64_t ceiling = std::max<std::uint64_t>(m, trie.child_transitions().size());
  const std::uint64_t bound = std::min<std::uint64_t>(max_dist, ceiling);
  return catch_internal([&]() -> Result<std::size_t> {
    using matcher_detail::walk_trie;
    const bool bits_fit = m <= BitRows::kMaxQuery && bound <= BitRows::kMaxBound;
    if ((engine == RowEngine::kAuto || engine == RowEngine::kBitParallel) && bits_fit) {
      switch (bound) {
        case 0: {
          matcher_detail::FixedBitRows<0> rows(term);
          return walk_trie<matcher_detail::FixedBitRows<0>, kWithPath>(trie, rows, bound,
                                                                       terminal_only, visit);
        }
        case 1: {
          matcher_detail::FixedBitRows<1> rows(term);
          return walk_trie<matcher_detail::FixedBitRows<1>, kWithPath>(trie, rows, bound,
                                                                       terminal_only, visit);
        }
        case 2: {
          matcher_detail::FixedBitRows<2> rows(term);
          return walk_trie<matcher_detail::FixedBitRows<2>, kWithPath>(trie, rows, bound,
                                                                       terminal_only, visit);
        }
        case 3: {
          matcher_detail::FixedBitRows<3> rows(term);
          return walk_trie<matcher_detail::FixedBitRows<3>, kWithPath>(trie, rows, bound,
                                                                       terminal_only, visit);
        }
        default: {
          BitRows rows(term, bound);
          return walk_trie<BitRows, kWithPath>(trie, rows, bound, terminal_only, visit);
        }
      }
    }
    // Blocked rows cost about m / 64 word steps per node, banded ones
    // min(m, 2K) + 1 cells: for long queries at large bounds the blocks win.
    const bool blocked = engine == RowEngine::kBlocked ||
                         (engine == RowEngine::kAuto && !bits_fit &&
                          m <= matcher_detail::kMaxBlockedQuery && 2 * bound + 1 >= m / 16);
    if (blocked) {
      matcher_detail::BlockedRows rows(term, bound);
      return walk_trie<matcher_detail::BlockedRows, kWithPath>(trie, rows, bound, terminal_only,
                                                               visit);
    }
    if (bound <= BandedRows<std::uint16_t>::kMaxBound) {
      BandedRows<std::uint16_t> rows(term, bound);
      return walk_trie<BandedRows<std::uint16_t>, kWithPath>(trie, rows, bound, terminal_only,
                                                             visit);
    }
    if (bound <= BandedRows<std::uint32_t>::kMaxBound) {
      BandedRows<std::uint32_t> rows(term, bound);
      return walk_trie<BandedRows<std::uint32_t>, kWithPath>(trie, rows, bound, terminal_only,
                                                             visit);
    }
    BandedRows<std::uint64_t> rows(term, bound);
    return walk_trie<BandedRows<std::uint64_t>, kWithPath>(trie, rows, bound, terminal_only, visit);
  });
}

// Which search answers a query. kAuto: the fastest that gives the plain
// walk's answers (see search_walk); kFilter: the same without the
// forward-backward passes; kPlain: the plain walk itself, the reference that
// tests and fuzzers compare the others with.
enum class SearchEngine : unsigned char { kAuto, kFilter, kPlain };

// The path a query took: the plain walk, the walk with the child filter, or
// the forward-backward passes.
enum class SearchPath : unsigned char { kPlain, kFiltered, kForwardBackward };

namespace matcher_detail {

template <std::size_t K, bool kWithPath, class Visitor>
std::size_t fast_search(const Trie& trie, const TreeAids& aids, std::u32string_view term,
                        bool terminal_only, Visitor& visit, SearchEngine engine,
                        SearchPath* taken) {
  if constexpr (K > 0) {
    if (engine == SearchEngine::kAuto && terminal_only && term.size() > 2 * K) {
      const ReversedTrie& reversed = trie.derived().reversed(trie);
      if (taken != nullptr) *taken = SearchPath::kForwardBackward;
      return forward_backward<K, kWithPath>(trie, aids, reversed, term, visit);
    }
  }
  if (taken != nullptr) *taken = SearchPath::kFiltered;
  FilterRows<K, false> rows(term);
  const ForwardView view(trie, aids);
  return filtered_walk<ForwardView, FilterRows<K, false>, kWithPath>(view, rows, K, terminal_only,
                                                                     visit);
}

}  // namespace matcher_detail

// fuzzy_walk's answers (the same visits of the visitor, in the same order,
// the same failures), found faster where that is exact by construction:
// * an index whose child lists form a verified tree (TreeAids::tree; any
//   index restored by restore_checked() or built, once checked on the first
//   query that needs it), a query of at most 63 characters and a bound of
//   at most 3 (after fuzzy_walk's lowering): the walk with the child filter
//   (search/fast_walk.h), which for max_dist 0 is a descent along the
//   query; and for terminal nodes with 2 * max_dist < m, the
//   forward-backward passes (search/forward_backward.h);
// * anything else: the plain walk.
// On a verified tree the plain walk cannot fail, and neither can these. The
// number returned is the rows filled; `taken` receives the path.
template <bool kWithPath, class Visitor>
Result<std::size_t> search_walk(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                                bool terminal_only, Visitor&& visit,
                                SearchEngine engine = SearchEngine::kAuto,
                                SearchPath* taken = nullptr) {
  if (taken != nullptr) *taken = SearchPath::kPlain;
  const std::uint64_t m = term.size();
  const std::uint64_t ceiling = std::max<std::uint64_t>(m, trie.child_transitions().size());
  const std::uint64_t bound = std::min<std::uint64_t>(max_dist, ceiling);
  if (engine == SearchEngine::kPlain || trie.node_count() == 0 ||
      m > matcher_detail::BitRows::kMaxQuery || bound > 3) {
    return fuzzy_walk<kWithPath>(trie, term, max_dist, terminal_only, visit);
  }
  const TreeAids& aids = trie.derived().tree(trie);
  if (!aids.tree) return fuzzy_walk<kWithPath>(trie, term, max_dist, terminal_only, visit);
  return catch_internal([&]() -> Result<std::size_t> {
    using matcher_detail::fast_search;
    switch (bound) {
      case 0:
        return fast_search<0, kWithPath>(trie, aids, term, terminal_only, visit, engine, taken);
      case 1:
        return fast_search<1, kWithPath>(trie, aids, term, terminal_only, visit, engine, taken);
      case 2:
        return fast_search<2, kWithPath>(trie, aids, term, terminal_only, visit, engine, taken);
      default:
        return fast_search<3, kWithPath>(trie, aids, term, terminal_only, visit, engine, taken);
    }
  });
}

// PrefixSearch.fuzzy_match: calls on_match(node, distance, term) for each
// terminal node within max_dist of term, in preorder, `term` holding the
// node's term as code points (valid during the call), until `limit` nodes
// have been reported or on_match answers Walk::kStop. A limit of 0 reports
// nothing and does not walk. Returns the number of nodes reported (a node
// whose on_match answered kStop not counted), or the internal failure met
// on a corrupt index.
template <class OnMatch>
Result<std::size_t> fuzzy_match(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                                std::optional<std::size_t> limit, OnMatch&& on_match) {
  if (limit && *limit == 0) return std::size_t{0};
  std::size_t reported = 0;
  const Result<std::size_t> walked =
      search_walk<true>(trie, term, max_dist, /*terminal_only=*/true,
                        [&](std::size_t node, std::uint32_t distance, std::u32string_view path) {
                          if (on_match(node, distance, path) == Walk::kStop) return Walk::kStop;
                          ++reported;
                          return limit && reported >= *limit ? Walk::kStop : Walk::kGoOn;
                        });
  if (!walked.ok()) return walked.error();
  return reported;
}

}  // namespace tessarin
