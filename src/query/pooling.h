// The pool of a video search: which matched nodes lend their videos to the
// scores (query/ranking.cpp), and with what weight.
//
// Which nodes: those within max_dist of the query under the chosen distance
// (the walk of fuzzy_match_nodes, or its OSA twin); terminal ones only when
// include_prefix_nodes is false, all when it is true, and when it is unset
// (the automatic mode) terminal ones unless there are none, then all.
// pool_walk() runs a caller's walk in that way.
//
// The weight of a node at distance d from a query of n characters
// (pool_weight()): 1.0 at d = 0; (1 - d / n) * 0.05 at d > 0, so 0 from
// d = n on; times 0.85 for a node at which no term ends. A node of weight 0
// lends nothing: it is not pooled (pool_reach() is the distance beyond
// which none has a weight).
//
// pooled_terms(): the pooled nodes as a reader is shown them, each with its
// term, distance, count and weight; nearest first, then the most searched,
// then by term (code points), then by node; cut to a limit after that order.
// `count` is the node's own count (node_info.h) when only terms were pooled,
// and its total (the searches of every term it begins) when prefix nodes
// were, since the node then stands for its whole subtree.
//
// Cost: the walk, plus O(c) per pooled node with c children for an own
// count, plus O(r log k) to order r pooled nodes cut to k.
//
// A corrupt index (a node beyond is_terminal or payloads) ends
// pooled_terms() with an internal failure; pool_weight() throws it
// (InternalFailure) for its caller's catch_internal. is_terminal is read only
// for a node whose distance gives it a weight.
//
// Thread safety: reads the trie only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "search/distance.h"
#include "util/result.h"

namespace tessarin {

// Videos scoring below this are left out when a search gives no threshold.
inline constexpr double kDefaultMinScore = 0.01;

// Runs walk(terminal_only), which returns Result<std::size_t> (the nodes it
// found), as a search pools: once, or in the automatic mode once more with
// prefix nodes when the first walk found no terminal node. Returns whether
// prefix nodes were pooled.
template <class Walk>
Result<bool> pool_walk(std::optional<bool> include_prefix_nodes, Walk&& walk) {
  const bool prefixes = include_prefix_nodes.value_or(false);
  Result<std::size_t> found = walk(/*terminal_only=*/!prefixes);
  if (!found.ok()) return found.error();
  if (include_prefix_nodes.has_value() || found.value() != 0) return prefixes;
  found = walk(/*terminal_only=*/false);
  if (!found.ok()) return found.error();
  return true;
}

// The weight of `node` at `distance` from a query of `query_length`
// characters; 0 when it lends nothing.
double pool_weight(const Trie& trie, std::size_t node, std::uint32_t distance,
                   std::size_t query_length);

// The greatest distance at most max_dist at which a node may have a weight:
// no node farther from a query of `query_length` characters lends anything.
std::uint32_t pool_reach(std::uint32_t max_dist, std::size_t query_length);

struct PooledTerm {
  std::size_t node = 0;
  std::string term;  // UTF-8
  std::uint32_t distance = 0;
  bool terminal = false;
  std::uint32_t count = 0;
  double weight = 0.0;
};

// What a pooling walk found: the nodes of weight above 0 in the walk's
// order, with their terms, distances and weights (counts not read yet), and
// whether prefix nodes were pooled.
struct PoolMatches {
  std::vector<PooledTerm> terms;
  bool prefixes = false;
};

// The walks of pooled_terms(). Each goes as far as a weight reaches
// (pool_reach), or to max_dist when `full_reach` (fuzzy_match_video's
// bound): the nodes of weight above 0 are the same either way.
Result<PoolMatches> pool_matches(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                                 std::optional<bool> include_prefix_nodes, Distance distance,
                                 bool full_reach);

// Reads each found node's count (its own, or its subtree's when prefix nodes
// were pooled), orders them as pooled_terms() does and keeps `limit`.
Result<std::vector<PooledTerm>> closest_pooled(const Trie& trie, PoolMatches&& matches,
                                               std::optional<std::size_t> limit);

Result<std::vector<PooledTerm>> pooled_terms(const Trie& trie, std::u32string_view term,
                                             std::uint32_t max_dist,
                                             std::optional<bool> include_prefix_nodes,
                                             std::optional<std::size_t> limit,
                                             Distance distance = Distance::kLevenshtein);

}  // namespace tessarin
