#include "query/suggest.h"

#include "query/node_info.h"
#include "query/term_order.h"
#include "search/transpositions.h"

namespace tessarin {
Result<std::vector<Suggestion>> suggest(const Trie& trie, std::u32string_view term,
                                        std::uint32_t max_dist, std::optional<std::size_t> limit,
                                        Distance distance) {
  std::vector<Suggestion> found;
  if (limit && *limit == 0) return found;
  const Result<std::size_t> walked =
      search_walk<true>(distance, trie, term, max_dist, /*terminal_only=*/true,
                        [&](std::size_t node, std::uint32_t distance, std::u32string_view path) {
                          Suggestion& entry = found.emplace_back();
                          append_utf8(path, entry.term);
                          entry.distance = distance;
                          entry.count = own_count(trie, node);
                          entry.node = node;
                          return Walk::kGoOn;
                        });
  if (!walked.ok()) return walked.error();
  keep_closest(found, limit);
  return found;
}

}  // namespace tessarin
