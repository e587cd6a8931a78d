#include "search/subtree_bounds.h"

#include <algorithm>

#include "index/trie.h"
#include "query/node_info.h"
#include "search/search_aids.h"

namespace tessarin {
namespace {

// The one step: node v's bound from its own count and, when the root
// reaches it, its visible children's bounds in `best`.
std::uint32_t bound_of(const IndexView& index, std::size_t v, bool reached,
                       std::span<const std::uint32_t> best) {
  std::uint32_t bound = v != 0 && index.is_terminal[v] != 0 ? own_count(index, v) : 0;
  if (!reached) return bound;
  const ChildRange range = children_of(index, v);
  for (std::size_t p = range.begin; p < range.end; ++p) {
    const std::uint32_t c = index.child_transitions[p];
    if (index.child_labels[c] != 0) bound = std::max(bound, best[c]);
  }
  return bound;
}

}  // namespace

SubtreeBounds build_subtree_bounds(const Trie& trie, const TreeAids& aids) {
  SubtreeBounds out;
  if (!aids.tree) return out;
  const IndexView& index = trie.view();
  const std::size_t n = trie.node_count();
  // The nodes in preorder (those the root reaches): children after parents.
  std::vector<std::uint32_t> order(n, TreeAids::kUnreached);
  for (std::size_t v = 0; v < n; ++v) {
    if (aids.preorder[v] != TreeAids::kUnreached)
      order[aids.preorder[v]] = static_cast<std::uint32_t>(v);
  }
  out.best.resize(n);
  for (std::size_t v = 0; v < n; ++v) {
    if (aids.preorder[v] == TreeAids::kUnreached) out.best[v] = bound_of(index, v, false, {});
  }
  for (std::size_t r = n; r-- > 0;) {
    const std::uint32_t v = order[r];
    if (v != TreeAids::kUnreached) out.best[v] = bound_of(index, v, true, out.best);
  }
  return out;
}

std::optional<std::string> subtree_bounds_fault(const IndexView& index, const TreeAids& aids,
                                                std::span<const std::uint32_t> best) {
  const std::size_t n = index.child_labels.size();
  if (!aids.tree || aids.preorder.size() != n || best.size() != n) {
    return std::string("their completion bounds are not the index's length");
  }
  for (std::size_t v = 0; v < n; ++v) {
    const bool reached = aids.preorder[v] != TreeAids::kUnreached;
    if (best[v] != bound_of(index, v, reached, best)) {
      return "their completion bound is wrong at node " + std::to_string(v);
    }
  }
  return std::nullopt;
}

}  // namespace tessarin
