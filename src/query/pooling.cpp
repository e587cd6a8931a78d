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

Result<PoolMatches> pool_matches(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                                 std::optional<bool> include_prefix_nodes, Distance distance,
                                 bool full_reach) {
  PoolMatches found;
  const Result<bool> prefixes = pool_walk(include_prefix_nodes, [&](bool terminal_only) {
    // Only the automatic mode's first walk decides by what it finds, at any
    // distance within max_dist; the others need go no farther than a weight.
    const bool decides = terminal_only && !include_prefix_nodes.has_value();
    const std::uint32_t bound =
        decides || full_reach ? max_dist : pool_reach(max_dist, term.size());
    std::size_t matched = 0;
    const Result<std::size_t> walked =
        search_walk<true>(distance, trie, term, bound, terminal_only,
                          [&](std::size_t node, std::uint32_t d, std::u32string_view path) {
                            ++matched;
                            const double weight = pool_weight(trie, node, d, term.size());
                            if (weight > 0.0) {
                              PooledTerm& entry = found.terms.emplace_back();
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
  found.prefixes = prefixes.value();
  return found;
}

Result<std::vector<PooledTerm>> closest_pooled(const Trie& trie, PoolMatches&& matches,
                                               std::optional<std::size_t> limit) {
  return catch_internal([&]() -> Result<std::vector<PooledTerm>> {
    if (limit && *limit == 0) return std::vector<PooledTerm>();
    for (PooledTerm& entry : matches.terms) {
      entry.count = matches.prefixes ? total_count(trie, entry.node) : own_count(trie, entry.node);
    }
    keep_closest(matches.terms, limit);
    return std::move(matches.terms);
  });
}

Result<std::vector<PooledTerm>> pooled_terms(const Trie& trie, std::u32string_view term,
                                             std::uint32_t max_dist,
                                             std::optional<bool> include_prefix_nodes,
                                             std::optional<std::size_t> limit, Distance distance) {
  if (limit && *limit == 0) return std::vector<PooledTerm>();
  Result<PoolMatches> found =
      pool_matches(trie, term, max_dist, include_prefix_nodes, distance, /*full_reach=*/false);
  if (!found.ok()) return found.error();
  return closest_pooled(trie, std::move(found).value(), limit);
}

}  // namespace tessarin
