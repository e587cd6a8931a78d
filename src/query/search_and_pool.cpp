#include "query/search_and_pool.h"

#include <utility>

#include "query/ranking.h"
#include "search/matcher.h"
#include "util/checked.h"

namespace tessarin {

Result<SearchAndPool> search_and_pool(const Trie& trie, std::u32string_view term,
                                      std::uint32_t max_dist, std::optional<std::size_t> limit,
                                      std::optional<bool> include_prefix_nodes,
                                      std::optional<double> min_score,
                                      std::optional<std::size_t> pooled_limit, Distance distance) {
  Result<PoolMatches> found =
      pool_matches(trie, term, max_dist, include_prefix_nodes, distance, /*full_reach=*/true);
  if (!found.ok()) return found.error();
  Result<std::vector<VideoScore>> videos = catch_internal([&]() -> Result<std::vector<VideoScore>> {
    std::vector<NodeMatch> nodes;
    nodes.reserve(found.value().terms.size());
    for (const PooledTerm& entry : found.value().terms)
      nodes.push_back({entry.node, entry.distance});
    return rank_videos(trie, nodes, term.size(), limit, min_score);
  });
  if (!videos.ok()) return videos.error();
  Result<std::vector<PooledTerm>> pooled =
      closest_pooled(trie, std::move(found).value(), pooled_limit);
  if (!pooled.ok()) return pooled.error();
  return SearchAndPool{std::move(videos).value(), std::move(pooled).value()};
}

}  // namespace tessarin
