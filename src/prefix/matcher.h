// Typo-tolerant search over the trie: every node whose term (the labels from
// the root down to it, the root's own excluded) lies within a bounded
// Levenshtein distance of a query.
//
// One walk serves every caller (fuzzy_walk below): fuzzy_match() records
// terminal nodes with their terms, fuzzy_match_nodes() records node indices,
// and the binding builds Python objects straight from the walk. The walk:
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
//   nodes visited. The bound is first lowered to max(m, length of
//   child_transitions) when above it: no cell of any row the walk can fill
//   exceeds that (a cell of row k is at most max(k, m), and the depth stays
//   below the number of child entries examined), so the walk is the same.
// * Cells are clamped at bound + 1 and sized for that value (16-bit when it
//   fits, 32 or 64 otherwise): no cell overflows, every distance within the
//   bound is exact, and the pruning test is exactly "row minimum > max_dist".
// * An explicit stack, not recursion: no native stack depth to run out of.
// * Every array read goes through the trie's checked accessors; a position
//   outside its array ends the call with an internal failure.
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

#include "checked.h"
#include "prefix/distance_rows.h"
#include "prefix/trie.h"
#include "result.h"

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
// at most `limit` of them, the walk stopping at the limit-th.
Result<std::vector<MatchResult>> fuzzy_match(const Trie& trie, std::u32string_view term,
                                             std::uint32_t max_dist,
                                             std::optional<std::size_t> limit);

// The nodes within max_dist of term, in preorder; only terminal ones when
// terminal_only is set.
Result<std::vector<NodeMatch>> fuzzy_match_nodes(const Trie& trie, std::u32string_view term,
                                                 std::uint32_t max_dist, bool terminal_only);

// What a visitor answers.
enum class Walk : bool { kGoOn, kStop };

// Which rows the walk uses; kAuto picks the bit-parallel rows where they
// apply. Forcing one is for tests: both give the same walk.
enum class RowEngine : unsigned char { kAuto, kBanded, kBitParallel };

namespace matcher_detail {

// The examined-entry bound was passed: the child lists are not a tree.
[[noreturn]] void fail_not_a_tree(std::size_t limit);

template <class Rows, bool kWithPath, class Visitor>
std::size_t walk(const Trie& trie, Rows& rows, std::uint64_t bound, bool terminal_only,
                 Visitor& visit) {
  struct Frame {
    std::size_t next;
    std::size_t end;
  };
  std::vector<Frame> frames;
  std::u32string path;  // labels from depth 1 to the top frame's node (kWithPath only)
  const std::size_t max_examined = trie.child_transitions.size();
  std::size_t examined = 0;
  std::size_t visited = 0;

  const ChildRange root = trie.children(0);
  frames.push_back({root.begin, root.end});
  while (!frames.empty()) {
    Frame& top = frames.back();
    if (top.next >= top.end) {
      frames.pop_back();
      if constexpr (kWithPath) {
        if (!path.empty()) path.pop_back();
      }
      continue;
    }
    const std::size_t position = top.next++;
    const std::size_t child = trie.child(position);
    if (++examined > max_examined) fail_not_a_tree(max_examined);
    const char32_t label = trie.label(child);
    if (label == 0) continue;

    const Filled row = rows.fill(frames.size() - 1, label);
    ++visited;
    if (!row.alive) continue;
    if constexpr (kWithPath) path.push_back(label);
    if (row.distance <= bound && (!terminal_only || trie.terminal(child))) {
      if (visit(child, static_cast<std::uint32_t>(row.distance), std::u32string_view(path)) ==
          Walk::kStop) {
        return visited;
      }
    }
    const ChildRange below = trie.children(child);
    frames.push_back({below.begin, below.end});
  }
  return visited;
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
  const std::uint64_t ceiling = std::max<std::uint64_t>(m, trie.child_transitions.size());
  const std::uint64_t bound = std::min<std::uint64_t>(max_dist, ceiling);
  return catch_internal([&]() -> Result<std::size_t> {
    using matcher_detail::walk;
    const bool bits_fit = m <= BitRows::kMaxQuery && bound <= BitRows::kMaxBound;
    if (engine != RowEngine::kBanded && bits_fit) {
      BitRows rows(term, bound);
      return walk<BitRows, kWithPath>(trie, rows, bound, terminal_only, visit);
    }
    if (bound <= BandedRows<std::uint16_t>::kMaxBound) {
      BandedRows<std::uint16_t> rows(term, bound);
      return walk<BandedRows<std::uint16_t>, kWithPath>(trie, rows, bound, terminal_only, visit);
    }
    if (bound <= BandedRows<std::uint32_t>::kMaxBound) {
      BandedRows<std::uint32_t> rows(term, bound);
      return walk<BandedRows<std::uint32_t>, kWithPath>(trie, rows, bound, terminal_only, visit);
    }
    BandedRows<std::uint64_t> rows(term, bound);
    return walk<BandedRows<std::uint64_t>, kWithPath>(trie, rows, bound, terminal_only, visit);
  });
}

}  // namespace tessarin
