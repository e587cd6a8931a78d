// Video ranking: PrefixSearch::fuzzy_match_video.
//
// The score of a video is its weighted share of the pooled nodes' counts:
//
//   score(v) = sum over nodes of w(node) * count of v in node's payload
//              -----------------------------------------------------------
//              sum over the same nodes of w(node) * node's total_count
//
// The pooled nodes and their weights w are query/pooling.h's (the nodes
// within max_dist, terminal ones or all; w by distance and terminality).
// Propagated payloads summarise whole subtrees, so a prefix node stands for
// every term that continues it.
//
// Scores at or above the threshold are kept, ordered best first, equal scores
// by ascending video position (a deterministic order of our own), cut to the
// limit by a linear-time selection before sorting, and named by the video
// table (video_text.h); a position beyond the table is dropped after the cut.
//
// A corrupt index (a node beyond is_terminal or payloads, a payload with
// fewer counts than videos) ends the call with an internal failure.
#include "query/ranking.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "index/video_accumulator.h"
#include "query/pooling.h"
#include "query/prefix_search.h"
#include "query/video_text.h"
#include "search/matcher.h"
#include "util/checked.h"

namespace tessarin {
namespace {

constexpr std::size_t kVideosPerNode = 16;

struct Scored {
  std::uint32_t video;
  double score;
};

// Best first; equal scores by ascending video position.
bool better(const Scored& a, const Scored& b) {
  return a.score > b.score || (a.score == b.score && a.video < b.video);
}

}  // namespace

Result<std::vector<VideoScore>> PrefixSearch::fuzzy_match_video(
    std::u32string_view term, std::uint32_t max_dist, std::optional<std::size_t> limit,
    std::optional<bool> include_prefix_nodes, std::optional<double> min_score,
    Distance distance) const {
  // 1. The pooled nodes.
  std::vector<NodeMatch> nodes;
  const Result<bool> pooled =
      pool_walk(include_prefix_nodes, [&](bool terminal_only) -> Result<std::size_t> {
        Result<std::vector<NodeMatch>> found =
            fuzzy_match_nodes(trie_, term, max_dist, terminal_only, distance);
        if (!found.ok()) return found.error();
        nodes = std::move(found).value();
        return nodes.size();
      });
  if (!pooled.ok()) return pooled.error();
  return rank_videos(trie_, nodes, term.size(), limit, min_score);
}

Result<std::vector<VideoScore>> rank_videos(const Trie& trie, std::span<const NodeMatch> nodes,
                                            std::size_t query_length,
                                            std::optional<std::size_t> limit,
                                            std::optional<double> min_score) {
  const std::size_t n = query_length;
  return catch_internal([&]() -> Result<std::vector<VideoScore>> {
    // 2. Pool the payloads. The map never needs more entries than the
    // index lists videos in all its payloads.
    VideoAccumulator<double> sums;
    const std::size_t wanted = nodes.size() > trie.payloads().total_video_ids() / kVideosPerNode
                                   ? trie.payloads().total_video_ids()
                                   : nodes.size() * kVideosPerNode;
    sums.reserve(wanted);
    double grand_total = 0.0;
    for (const NodeMatch& match : nodes) {
      const double w = pool_weight(trie, match.node, match.distance, n);
      if (w <= 0.0) continue;
      const std::optional<PayloadView> payload = trie.payloads().get(match.node);
      if (!payload) continue;
      if (payload->video_counts.size() < payload->video_ids.size()) {
        fail_internal("corrupt index: the payload of node " + std::to_string(match.node) +
                      " lists " + std::to_string(payload->video_ids.size()) + " videos but " +
                      std::to_string(payload->video_counts.size()) + " counts");
      }
      grand_total = static_cast<double>(payload->total_count) * w + grand_total;
      for (std::size_t k = 0; k < payload->video_ids.size(); ++k) {
        sums.add(payload->video_ids[k], static_cast<double>(payload->video_counts[k]) * w);
      }
    }
    std::vector<VideoScore> results;
    if (grand_total <= 0.0) return results;

    // 3. Threshold (NaN keeps nothing: no score compares >= NaN).
    const double threshold = min_score.value_or(kDefaultMinScore);
    std::vector<Scored> kept;
    kept.reserve(sums.size());
    for (const auto& entry : sums.entries()) {
      const double score = entry.value / grand_total;
      if (score >= threshold) kept.push_back({entry.video, score});
    }

    // 4. Order, and cut to the limit.
    if (limit && *limit < kept.size()) {
      const auto cut = kept.begin() + static_cast<std::ptrdiff_t>(*limit);
      std::nth_element(kept.begin(), cut, kept.end(), better);
      kept.erase(cut, kept.end());
    }
    std::sort(kept.begin(), kept.end(), better);

    // 5. Name the survivors; positions beyond the table name no video.
    results.reserve(kept.size());
    for (const Scored& entry : kept) {
      std::optional<std::string> id = video_text(trie, entry.video);
      if (id) results.push_back({std::move(*id), entry.score});
    }
    return results;
  });
}

}  // namespace tessarin
