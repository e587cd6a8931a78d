#include "query/pooling.h"

#include <algorithm>
#include <utility>

#include "query/node_info.h"
#include "query/term_order.h"
#include "search/transpositions.h"
#include "util/checked.h"

namespace tessarin {
namespace {

constexpr double kExactWeight = 1.0;
constexpr double kFuzzyFactor = 0.05;
constexpr double kPrefixFactor = 0.85;

}  // namespace

double pool_weight(const Trie& trie, std::size_t node, std::uint32_t distance,
                   std::size_t query_length) {
  if (distance == 0) return trie.terminal(node) ? kExactWeight : kExactWeight * kPrefixFactor;
  if (distance >= query_length) return 0.0;
  const double weight =
      (1.0 - static_cast<double>(distance) / static_cast<double>(query_length)) * kFuzzyFactor;
  return trie.terminal(node) ? weight : weight * kPrefixFactor;
}

std::uint32_t pool_reach(std::uint32_t max_dist, std::size_t query_length) {
  if (query_length == 0) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(max_dist, query_length - 1));
}

Result<std::vector<PooledTerm>> pooled_terms(const Trie& trie, std::u32string_view term,
                                             std::uint32_t max_dist,
                                             std::optional<bool> include_prefix_nodes,
                                             std::optional<std::size_t> limit, Distance distance) {
  std::vector<PooledTerm> found;
  if (limit && *limit == 0) return found;
  const Result<bool> prefixes = pool_walk(include_prefix_nodes, [&](bool terminal_only) {
    // Only the automatic mode's first walk decides by what it finds, at any
    // distance within max_dist; the others need go no farther than a weight.
    const bool decides = terminal_only && !include_prefix_nodes.has_value();
    const std::uint32_t bound = decides ? max_dist : pool_reach(max_dist, term.size());
    std::size_t matched = 0;
    const Result<std::size_t> walked =
        search_walk<true>(distance, trie, term, bound, terminal_only,
                          [&](std::size_t node, std::uint32_t d, std::u32string_view path) {
                            ++matched;
                            const double weight = pool_weight(trie, node, d, term.size());
                            if (weight > 0.0) {
                              PooledTerm& entry = found.emplace_back();
                              entry.node = node;
                              append_utf8(path, entry.term);
                              entry.distance = d;
                              entry.terminal = trie.terminal(node);
                              entry.weight = weight;
                            }
                            return Walk::kGoOn;
                          });
    return walked.ok() ? Result<std::size_t>(matched) : Result<std::size_t>(walked.error());
  });
  if (!prefixes.ok()) return prefixes.error();
  return catch_internal([&]() -> Result<std::vector<PooledTerm>> {
    for (PooledTerm& entry : found) {
      entry.count = prefixes.value() ? total_count(trie, entry.node) : own_count(trie, entry.node);
    }
    keep_closest(found, limit);
    return std::move(found);
  });
}

}  // namespace tessarin
