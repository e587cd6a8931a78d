#include "query/search_and_pool.h"

#include <utility>

#include "query/node_info.h"
#include "query/ranking.h"
#include "query/term_order.h"
#include "search/matcher.h"
#include "search/transpositions.h"
#include "util/checked.h"

namespace tessarin {

Result<SearchAndPool> search_and_pool(const Trie& trie, std::u32string_view term,
                                      std::uint32_t max_dist, std::optional<std::size_t> limit,
                                      std::optional<bool> include_prefix_nodes,
                                      std::optional<double> min_score,
                                      std::optional<std::size_t> pooled_limit, Distance distance) {
  // The nodes of weight above 0, in the walk's order, and their terms.
  std::vector<NodeMatch> nodes;
  std::vector<PooledTerm> pooled;
  const Result<bool> prefixes = pool_walk(include_prefix_nodes, [&](bool terminal_only) {
    std::size_t matched = 0;
    const Result<std::size_t> walked =
        search_walk<true>(distance, trie, term, max_dist, terminal_only,
                          [&](std::size_t node, std::uint32_t d, std::u32string_view path) {
                            ++matched;
                            const double weight = pool_weight(trie, node, d, term.size());
                            if (weight > 0.0) {
                              nodes.push_back({node, d});
                              PooledTerm& entry = pooled.emplace_back();
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
  Result<std::vector<VideoScore>> videos = rank_videos(trie, nodes, term.size(), limit, min_score);
  if (!videos.ok()) return videos.error();
  return catch_internal([&]() -> Result<SearchAndPool> {
    if (pooled_limit && *pooled_limit == 0) pooled.clear();
    for (PooledTerm& entry : pooled) {
      entry.count = prefixes.value() ? total_count(trie, entry.node) : own_count(trie, entry.node);
    }
    keep_closest(pooled, pooled_limit);
    return SearchAndPool{std::move(videos).value(), std::move(pooled)};
  });
}

}  // namespace tessarin
