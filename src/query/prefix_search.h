// PrefixSearch: the index that Python sees, one Trie and nothing else.
//
// Immutable once made; the query methods only read it and may run
// concurrently. The Python type (binding/_tessarin/prefix_search_type.h)
// holds one of these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/trie.h"
#include "search/distance.h"
#include "util/result.h"

namespace tessarin {

struct VideoScore {
  std::string id;  // hyphenated lowercase UUID, or an unsigned decimal number
  double score = 0.0;
};

class PrefixSearch {
 public:
  explicit PrefixSearch(Trie trie) : trie_(std::move(trie)) {}

  [[nodiscard]] const Trie& trie() const { return trie_; }

  // The videos of the nodes within max_dist of term, scored and best first
  // (query/ranking.cpp); distances by Levenshtein unless `distance` says
  // otherwise. Fails only on a corrupt index (kInternal).
  [[nodiscard]] Result<std::vector<VideoScore>> fuzzy_match_video(
      std::u32string_view term, std::uint32_t max_dist, std::optional<std::size_t> limit,
      std::optional<bool> include_prefix_nodes, std::optional<double> min_score,
      Distance distance = Distance::kLevenshtein) const;

 private:
  Trie trie_;
};

}  // namespace tessarin
