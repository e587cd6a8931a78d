// What the fast search (search/matcher.h) derives from an index, once, on the
// first query that needs it, or reads where an index file stores it
// (StoredAids, format/mapped_form.h); never changing the index.
//
// TreeAids, in O(n + entries) time and 16 bytes per node:
// * tree: every read a walk can make lies inside its array and the child
//   lists form a tree below the root (index/validation.h: what the index's
//   trust level says, checked here only where the level is lower than
//   Trust::kTree): no entry names the root, no node is named twice, no
//   entry lies in the child ranges of two nodes. On such an index the plain
//   walk never fails
//   and examines each entry at most once, so any engine that finds the same
//   nodes in the same order gives exactly its answers. Nothing else below is
//   built, or used, unless `tree` holds.
// * positions: for each position of child_transitions, the child's label,
//   terminal flag and child range, 12 bytes, so that a walk reads one entry
//   per child where the index's arrays take four reads (a child range whose
//   end is not above its start is stored empty). Only for indexes of fewer
//   than 2^31 child entries; a larger one is not taken for a tree.
//   An index file leaves them out where child entry p names node p + 1 for
//   every p (the package's builder numbers nodes so): they are then what
//   node p + 1's label, flag and range in the index's own arrays say, which
//   the walk reads there (search/views.h: ForwardView), and `positions` is
//   empty.
// * preorder[v]: the rank of node v in the walk's preorder (children in
//   child_transitions order); nodes the root cannot reach get kUnreached.
// * by_label: empty when every child range already lists its children in
//   ascending label order (the package's builder lays them out so);
//   otherwise the positions of child_transitions, each range reordered by
//   (label, position), so that children with a given label are found by
//   binary search either way.
//
// ReversedTrie, in O(L log s) time for terms of total length L (s: the
// largest number of distinct characters at one position): the terms of the
// visible terminal nodes (reachable, no label 0 on the path), each reversed,
// in a trie of their own. Nodes are numbered breadth-first with children in
// ascending label order, so the children of r are the nodes
// first_child of r .. first_child of r + 1, less one, and need no list;
// node 0 is the root. A reversed trie node r at which reversed terms end
// lists their forward nodes, in preorder (two nodes share a term where
// sibling labels repeat, below the sound level): nodes[term_begin of r ..
// term_begin of r + 1); or, where no node ends two terms (an index file's),
// the one node at the rank of r among the terminal nodes. 12 bytes per node
// and 4 per term as derived; 8.5 bytes per node and 4 per term as stored.
//
// SubtreeBounds (search/subtree_bounds.h), for prefix completion: 4 bytes
// per node, from the tree.
//
// TreeAids, ReversedTrie and the subtree bounds are views: over the vectors
// of what was derived (TreeAidsStore, ReversedTrieStore, SubtreeBounds), or
// over an index file's sections (format/mapped_form.h; files written before
// the bounds were stored hold the other aids only, and the bounds are then
// derived).
//
// DerivedSlot gives all three for one Trie: the stored ones when the Trie
// has them, else each is built at most once, by the first caller that needs
// it (std::call_once), and read-only afterwards, so any number of threads
// may query a fresh index at once. A copy of a Trie gets an empty slot; a
// Trie's arrays never change once it is made.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index/child_range.h"
#include "index/validation.h"
#include "search/subtree_bounds.h"

namespace tessarin {

class Trie;

struct TreeAids {
  static constexpr std::uint32_t kUnreached = std::numeric_limits<std::uint32_t>::max();
  static constexpr std::uint32_t kTerminalBit = std::uint32_t{1} << 31;

  // What a walk reads of the child at one position of child_transitions,
  // in one place: its label, its child range, its terminal flag (bit 31 of
  // the range's end; positions stay below 2^31).
  struct Position {
    char32_t label;
    std::uint32_t begin;
    std::uint32_t end_terminal;
  };

  bool tree = false;
  ChildRange root;  // the root's children
  std::span<const Position> positions;
  std::span<const std::uint32_t> preorder;
  std::span<const std::uint32_t> by_label;
};

struct ReversedTrie {
  static constexpr std::uint32_t kTerminalBit = std::uint32_t{1} << 31;
  static constexpr std::size_t kRankBlock = 8;  // entries per rank: one cache line

  // One entry per node and a last one that closes the ranges, so that a
  // node's fields, read together, share a cache line: the first child and
  // the label, with bit 31 set where terms end (labels are code points,
  // below 2^21).
  struct Entry {
    std::uint32_t first_child;
    std::uint32_t label_terminal;  // the root's (entry 0) and the last entry's: 0

    [[nodiscard]] char32_t label() const { return label_terminal & ~kTerminalBit; }
    [[nodiscard]] bool terminal() const { return (label_terminal & kTerminalBit) != 0; }
  };
  std::span<const Entry> entries;
  std::span<const std::uint32_t> nodes;  // forward nodes, grouped by term
  // Where each node's terms start in `nodes` (one per entry) when a node
  // may end several terms (as derived: sibling labels may repeat below the
  // sound level). Otherwise empty and each terminal node ends one term,
  // found by rank: ranks[b], the terminal entries before entry
  // kRankBlock * b (an index file's form: 0.5 bytes per node).
  std::span<const std::uint32_t> term_begin;
  std::span<const std::uint32_t> ranks;

  [[nodiscard]] std::size_t node_count() const { return entries.empty() ? 0 : entries.size() - 1; }

  // The forward nodes whose terms end at node r.
  [[nodiscard]] std::span<const std::uint32_t> terms(std::size_t r) const {
    if (!term_begin.empty()) return nodes.subspan(term_begin[r], term_begin[r + 1] - term_begin[r]);
    if (!entries[r].terminal()) return {};
    std::size_t k = ranks[r / kRankBlock];
    for (std::size_t q = r - r % kRankBlock; q < r; ++q) k += entries[q].label_terminal >> 31;
    return nodes.subspan(k, 1);
  }
};

// What was derived, in vectors of its own.
struct TreeAidsStore {
  bool tree = false;
  ChildRange root;
  std::vector<TreeAids::Position> positions;
  std::vector<std::uint32_t> preorder;
  std::vector<std::uint32_t> by_label;

  [[nodiscard]] TreeAids view() const { return {tree, root, positions, preorder, by_label}; }
  [[nodiscard]] std::size_t memory_bytes() const {
    return positions.capacity() * sizeof(TreeAids::Position) + preorder.capacity() * 4 +
           by_label.capacity() * 4;
  }
};

struct ReversedTrieStore {
  std::vector<ReversedTrie::Entry> entries;
  std::vector<std::uint32_t> nodes;
  std::vector<std::uint32_t> term_begin;

  [[nodiscard]] ReversedTrie view() const { return {entries, nodes, term_begin, {}}; }
  [[nodiscard]] std::size_t memory_bytes() const {
    return entries.capacity() * sizeof(ReversedTrie::Entry) + nodes.capacity() * 4 +
           term_begin.capacity() * 4;
  }
};

// The ranks (ReversedTrie::ranks) of `trie`'s terminal nodes, which replace
// term_begin when every node ends at most one term (an index file stores
// them): empty when one ends more. O(r).
std::vector<std::uint32_t> reversed_ranks(const ReversedTrie& trie);

// The aids an index file stores beside its arrays (format/mapped_form.h),
// read in place of deriving them. Its reader checks that they are what
// deriving would give.
struct StoredAids {
  TreeAids tree;
  ReversedTrie reversed;
  std::span<const std::uint32_t> bounds;  // empty when not stored
};

// Fills in what stored aids leave out (aids.tree.tree and root), for arrays
// of at least one node.
void complete_stored_aids(const IndexView& index, StoredAids& aids);

// Whether `aids`, stored beside arrays that reach Trust::kSound and
// completed (complete_stored_aids), are what build_tree_aids and
// build_reversed derive from those arrays: a sentence saying what differs,
// or nothing. The completion bound is left to stored_bounds_fault, which
// may run at the same time on another thread. Where deriving leaves
// by_label empty (children already in label order), a stored by_label in
// that order is taken too; a reversed trie node may list its terms in any
// order. The reversed terms are compared with the forward ones by
// fingerprints (Karp and Rabin's: a polynomial over the field of 2^61 - 1
// elements at a point drawn at random for each call), so aids that differ
// pass with probability at most (the longest term's length) / 2^61,
// whoever made them. Everything else is compared exactly.
//
// Cost: O(n + e + r + t), one walk from the root and passes in order; 8
// bytes of scratch per node, and per reversed node of the widest level 16.
std::optional<std::string> stored_aids_fault(const IndexView& index, const StoredAids& aids);

// Whether the stored completion bound, if any, is what
// build_subtree_bounds derives (subtree_bounds_fault), given aids that
// stored_aids_fault finds right.
std::optional<std::string> stored_bounds_fault(const IndexView& index, const StoredAids& aids);

// Whether child entry p names node p + 1 for every p: the per-child entries
// then repeat the node arrays, and an index file leaves them out. O(entries).
bool entries_follow_nodes(const ChildEntries& child_transitions);

// build_reversed needs `aids.tree`.
TreeAidsStore build_tree_aids(const Trie& trie);
ReversedTrieStore build_reversed(const Trie& trie, const TreeAids& aids);

class DerivedSlot {
 public:
  DerivedSlot() = default;
  DerivedSlot(const DerivedSlot& /*other*/) {}
  DerivedSlot& operator=(const DerivedSlot& other) {
    if (this != &other) reset();
    return *this;
  }
  DerivedSlot(DerivedSlot&& other) noexcept
      : state_(other.state_.exchange(nullptr, std::memory_order_acq_rel)) {}
  DerivedSlot& operator=(DerivedSlot&& other) noexcept {
    if (this != &other) {
      delete state_.exchange(other.state_.exchange(nullptr, std::memory_order_acq_rel),
                             std::memory_order_acq_rel);
    }
    return *this;
  }
  ~DerivedSlot() { delete state_.load(std::memory_order_acquire); }

  // The trie's stored aids when it has them, else derived once.
  const TreeAids& tree(const Trie& trie) const;
  // Requires tree(trie).tree.
  const ReversedTrie& reversed(const Trie& trie) const;
  // Requires tree(trie).tree: the bound of each node (SubtreeBounds::best).
  std::span<const std::uint32_t> subtree_bounds(const Trie& trie) const;

  // Heap bytes of what has been built so far, and the seconds it took.
  [[nodiscard]] std::size_t memory_bytes() const;
  [[nodiscard]] double derive_seconds() const;

  // Drops what was built. Not thread-safe: only while nobody queries.
  void reset() { delete state_.exchange(nullptr, std::memory_order_acq_rel); }

 private:
  struct State {
    std::once_flag tree_once;
    std::once_flag reversed_once;
    std::once_flag bounds_once;
    TreeAidsStore tree_store;
    ReversedTrieStore reversed_store;
    TreeAids tree;
    ReversedTrie reversed;
    SubtreeBounds bounds;
    std::atomic<bool> tree_built{false};
    std::atomic<bool> reversed_built{false};
    std::atomic<bool> bounds_built{false};
    double tree_seconds = 0;
    double reversed_seconds = 0;
    double bounds_seconds = 0;
  };
  State& state() const;

  mutable std::atomic<State*> state_{nullptr};
};

}  // namespace tessarin
