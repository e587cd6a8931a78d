#include "search/subtree_bounds.h"

#include <algorithm>

#include "index/trie.h"
#include "query/node_info.h"
#include "search/search_aids.h"

namespace tessarin {

SubtreeBounds build_subtree_bounds(const Trie& trie, const TreeAids& aids) {
  SubtreeBounds out;
  if (!aids.tree) return out;
  const std::size_t n = trie.node_count();
  // The nodes in preorder (those the root reaches): children after parents.
  std::vector<std::uint32_t> order(n, TreeAids::kUnreached);
  for (std::size_t v = 0; v < n; ++v) {
    if (aids.preorder[v] != TreeAids::kUnreached)
      order[aids.preorder[v]] = static_cast<std::uint32_t>(v);
  }
  out.best.resize(n);
  for (std::size_t v = 0; v < n; ++v) {
    out.best[v] = v != 0 && trie.is_terminal()[v] != 0 ? own_count(trie, v) : 0;
  }
  const std::span<const std::uint32_t> children = trie.child_transitions();
  for (std::size_t r = n; r-- > 0;) {
    const std::uint32_t v = order[r];
    if (v == TreeAids::kUnreached) continue;
    std::uint32_t best = out.best[v];
    const ChildRange range = trie.children(v);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const std::uint32_t c = children[p];
      if (trie.child_labels()[c] != 0) best = std::max(best, out.best[c]);
    }
    out.best[v] = best;
  }
  return out;
}

}  // namespace tessarin
