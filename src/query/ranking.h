// The scores of the videos of a pool of matched nodes (query/ranking.cpp
// says how they are computed): PrefixSearch::fuzzy_match_video is the walk
// that finds the nodes (query/pooling.h) and then rank_videos().
//
// Nodes are pooled in the order given, which fixes the order of the sums
// (and so the last bits of the scores): the walk's preorder. Nodes of
// weight 0 are skipped.
//
// Cost: O(v) for the v video entries of the pooled payloads, plus
// O(s + k log k) to cut s scores to k and order them.
//
// A corrupt index ends the call with an internal failure (kInternal).
//
// Thread safety: reads the trie only.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "index/trie.h"
#include "query/prefix_search.h"
#include "search/matcher.h"
#include "util/result.h"

namespace tessarin {

// The videos of `nodes`, matched against a query of `query_length`
// characters, scored, at or above min_score (kDefaultMinScore when unset),
// best first, at most `limit`.
Result<std::vector<VideoScore>> rank_videos(const Trie& trie, std::span<const NodeMatch> nodes,
                                            std::size_t query_length,
                                            std::optional<std::size_t> limit,
                                            std::optional<double> min_score);

}  // namespace tessarin
