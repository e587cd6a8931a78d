// Video ranking: PrefixSearch::fuzzy_match_video.
//
// The score of a video is its weighted share of the matched nodes' counts:
//
//   score(v) = sum over nodes of w(node) * count of v in node's payload
//              -----------------------------------------------------------
//              sum over the same nodes of w(node) * node's total_count
//
// with w = 1.0 at distance 0, (1 - d / n) * 0.05 at distance d > 0 (n the
// query's length in characters), and a further * 0.85 for a node at which
// no term ends. Propagated payloads summarise whole subtrees, so a prefix
// node stands for every term that continues it.
//
// Nodes come from fuzzy_match_nodes (search/matcher.h, under the distance
// asked for): terminal ones only, or all, or (the
// automatic mode) terminal ones unless there are none, then all. Scores at or
// above the threshold are kept, ordered best first, equal scores by ascending
// video position (a deterministic order of our own), cut to the limit by a
// linear-time selection before sorting, and named by the video table
// (video_text.h); a position beyond the table is dropped after the cut.
//
// A corrupt index (a node beyond is_terminal or payloads, a payload with
// fewer counts than videos) ends the call with an internal failure.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index/video_accumulator.h"
#include "query/prefix_search.h"
#include "query/video_text.h"
#include "search/matcher.h"
#include "util/checked.h"

namespace tessarin {
namespace {

constexpr double kExactWeight = 1.0;
constexpr double kFuzzyFactor = 0.05;
constexpr double kPrefixFactor = 0.85;
constexpr double kDefaultMinScore = 0.01;
constexpr std::size_t kVideosPerNode = 16;

struct Scored {
  std::uint32_t video;
  double score;
};

// Best first; equal scores by ascending video position.
bool better(const Scored& a, const Scored& b) {
  return a.score > b.score || (a.score == b.score && a.video < b.video);
}

double node_weight(std::uint32_t distance, std::size_t n) {
  if (distance == 0) return kExactWeight;
  if (n == 0) return 0.0;
  return (1.0 - static_cast<double>(distance) / static_cast<double>(n)) * kFuzzyFactor;
}

}  // namespace

Result<std::vector<VideoScore>> PrefixSearch::fuzzy_match_video(
    std::u32string_view term, std::uint32_t max_dist, std::optional<std::size_t> limit,
    std::optional<bool> include_prefix_nodes, std::optional<double> min_score,
    Distance distance) const {
  // 1. The matched nodes.
  Result<std::vector<NodeMatch>> found =
      fuzzy_match_nodes(trie_, term, max_dist,
                        /*terminal_only=*/include_prefix_nodes != true, distance);
  if (!found.ok()) return found.error();
  if (!include_prefix_nodes.has_value() && found.value().empty()) {
    found = fuzzy_match_nodes(trie_, term, max_dist, /*terminal_only=*/false, distance);
    if (!found.ok()) return found.error();
  }
  const std::vector<NodeMatch>& nodes = found.value();
  const std::size_t n = term.size();

  return catch_internal([&]() -> Result<std::vector<VideoScore>> {
    // 2. Pool the payloads. The map never needs more entries than the
    // index lists videos in all its payloads.
    VideoAccumulator<double> sums;
    const std::size_t wanted = nodes.size() > trie_.payloads().total_video_ids() / kVideosPerNode
                                   ? trie_.payloads().total_video_ids()
                                   : nodes.size() * kVideosPerNode;
    sums.reserve(wanted);
    double grand_total = 0.0;
    for (const NodeMatch& match : nodes) {
      double w = node_weight(match.distance, n);
      if (w <= 0.0) continue;  // d > 0 and d >= n
      if (!trie_.terminal(match.node)) w *= kPrefixFactor;
      const std::optional<PayloadView> payload = trie_.payloads().get(match.node);
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
      std::optional<std::string> id = video_text(trie_, entry.video);
      if (id) results.push_back({std::move(*id), entry.score});
    }
    return results;
  });
}

}  // namespace tessarin
