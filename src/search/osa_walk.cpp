#include "search/osa_walk.h"

namespace tessarin {

Result<std::vector<NodeMatch>> fuzzy_match_nodes_by(Distance distance, const Trie& trie,
                                                    std::u32string_view term,
                                                    std::uint32_t max_dist, bool terminal_only) {
  if (distance == Distance::kLevenshtein) {
    return fuzzy_match_nodes(trie, term, max_dist, terminal_only);
  }
  std::vector<NodeMatch> matches;
  const Result<std::size_t> walked =
      fuzzy_walk_osa<false>(trie, term, max_dist, terminal_only,
                            [&](std::size_t node, std::uint32_t d, std::u32string_view /*path*/) {
                              matches.push_back({node, d});
                              return Walk::kGoOn;
                            });
  if (!walked.ok()) return walked.error();
  return matches;
}

}  // namespace tessarin
