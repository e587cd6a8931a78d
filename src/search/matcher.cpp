#include "search/matcher.h"

#include "search/transpositions.h"
#include "util/utf8.h"

namespace tessarin {

Result<std::vector<MatchResult>> fuzzy_match(const Trie& trie, std::u32string_view term,
                                             std::uint32_t max_dist,
                                             std::optional<std::size_t> limit) {
  std::vector<MatchResult> results;
  const Result<std::size_t> matched = fuzzy_match(
      trie, term, max_dist, limit,
      [&](std::size_t node, std::uint32_t distance, std::u32string_view path) {
        MatchResult& result = results.emplace_back();
        for (const char32_t c : path) {
          encode_utf8(c, [&](unsigned char b) { result.term.push_back(static_cast<char>(b)); });
        }
        result.node = node;
        result.distance = distance;
        return Walk::kGoOn;
      });
  if (!matched.ok()) return matched.error();
  return results;
}

Result<std::vector<NodeMatch>> fuzzy_match_nodes(const Trie& trie, std::u32string_view term,
                                                 std::uint32_t max_dist, bool terminal_only,
                                                 Distance distance) {
  std::vector<NodeMatch> matches;
  const Result<std::size_t> walked =
      search_walk<false>(distance, trie, term, max_dist, terminal_only,
                         [&](std::size_t node, std::uint32_t d, std::u32string_view /*path*/) {
                           matches.push_back({node, d});
                           return Walk::kGoOn;
                         });
  if (!walked.ok()) return walked.error();
  return matches;
}

}  // namespace tessarin
