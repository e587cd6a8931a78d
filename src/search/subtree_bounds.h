// The upper bounds of prefix completion (query/complete.h): for each node,
// the greatest own count (query/node_info.h) of a visible terminal node in
// its subtree, the node itself included; 0 when there is none. A child
// with label 0 is hidden with its subtree, as from every walk; the root is
// never a term.
//
// A plain array of 32-bit values, one per node, with no pointers, so that
// it could as well be read from an index file as derived. Derived once per
// index, on the first completion (search/search_aids.h, DerivedSlot), from
// a verified tree (TreeAids::tree): the nodes in reverse preorder, each
// taking the greatest of its own count and its visible children's bounds.
// Nodes the root does not reach get their own count. Cost: O(nodes + child
// entries) time, 4 bytes per node, and 4 more per node while it is built.
//
// Thread safety: read-only once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessarin {

class Trie;
struct TreeAids;

struct SubtreeBounds {
  std::vector<std::uint32_t> best;  // best[v]: the bound of node v's subtree

  [[nodiscard]] std::size_t memory_bytes() const { return best.capacity() * 4; }
};

// Requires aids.tree; empty otherwise.
SubtreeBounds build_subtree_bounds(const Trie& trie, const TreeAids& aids);

}  // namespace tessarin
