// A video search and the nodes it pooled, from one walk: what
// PrefixSearch::fuzzy_match_video and pooled_terms() (query/pooling.h) give
// for the same arguments, each of which walks the trie on its own.
//
// The walk is fuzzy_match_video's (the same bound, the same order), so the
// scores are the same to the last bit; the pooled nodes are those of weight
// above 0 that it reports, with their terms, counted and ordered as
// pooled_terms() counts and orders them, cut to `pooled_limit`.
//
// Cost: one walk, with the path kept for the terms, plus rank_videos()
// (query/ranking.h) and O(c) per pooled node with c children for an own
// count, plus O(r log k) to order r pooled nodes cut to k.
//
// Fails only on a corrupt index (kInternal).
//
// Thread safety: reads the trie only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "query/pooling.h"
#include "query/prefix_search.h"
#include "search/distance.h"
#include "util/result.h"

namespace tessarin {

struct SearchAndPool {
  std::vector<VideoScore> videos;
  std::vector<PooledTerm> pooled;
};

Result<SearchAndPool> search_and_pool(const Trie& trie, std::u32string_view term,
                                      std::uint32_t max_dist, std::optional<std::size_t> limit,
                                      std::optional<bool> include_prefix_nodes,
                                      std::optional<double> min_score,
                                      std::optional<std::size_t> pooled_limit,
                                      Distance distance = Distance::kLevenshtein);

}  // namespace tessarin
