// The upper bounds of prefix completion (query/complete.h): for each node,
// the greatest own count (query/node_info.h) of a visible terminal node in
// its subtree, the node itself included; 0 when there is none. A child
// with label 0 is hidden with its subtree, as from every walk; the root is
// never a term.
//
// A plain array of 32-bit values, one per node, with no pointers: derived
// once per index, on the first completion (search/search_aids.h,
// DerivedSlot), or read where an index file stores it
// (format/mapped_form.h). Deriving needs a verified tree (TreeAids::tree):
// the nodes in reverse preorder, each taking the greatest of its own count
// and its visible children's bounds. Nodes the root does not reach get their
// own count. Cost: O(nodes + child entries) time, 4 bytes per node, and 4
// more per node while it is built.
//
// Checking stored bounds (subtree_bounds_fault) needs no order and no
// scratch: each node's bound must be what that one step gives from its own
// count and its children's stored bounds. Over a tree, the equations hold
// at every node only for the derived bounds (by induction from the leaves),
// so the check is exact, in one pass over the nodes and child entries. A
// bound is never taken on trust: one above the truth would misorder
// completion's queue, one below would let its gate skip a subtree that
// holds a better term.
//
// Thread safety: read-only once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index/validation.h"

namespace tessarin {

class Trie;
struct TreeAids;

struct SubtreeBounds {
  std::vector<std::uint32_t> best;  // best[v]: the bound of node v's subtree

  [[nodiscard]] std::size_t memory_bytes() const { return best.capacity() * 4; }
};

// Requires aids.tree; empty otherwise.
SubtreeBounds build_subtree_bounds(const Trie& trie, const TreeAids& aids);

// Whether `best`, stored beside arrays that reach Trust::kSound with the
// verified aids `aids` (aids.tree), is what build_subtree_bounds derives: a
// sentence saying where it differs, or nothing. O(nodes + child entries).
std::optional<std::string> subtree_bounds_fault(const IndexView& index, const TreeAids& aids,
                                                std::span<const std::uint32_t> best);

}  // namespace tessarin
