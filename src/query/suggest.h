// Suggestions: the indexed terms close to a query, best first.
//
// suggest() takes the terminal nodes within max_dist of the query (the walk,
// search/dispatch.h, under the distance asked for) and orders them by
// distance, then by
// the term's own count (node_info.h: the searches of the term itself, not
// of longer terms below it), highest first, then by term in code point
// order (UTF-8 byte order is the same), then by node; the limit cuts after
// that order, so the closest terms are never left out for the sake of the
// walk's order. A limit of 0 gives nothing without walking.
//
// Cost: the walk, plus O(c) per match for the count of a node with c
// children, plus O(r log k) to order r matches cut to k.
//
// Thread safety: reads the trie only; any number of calls may run at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "search/distance.h"
#include "util/result.h"

namespace tessarin {

struct Suggestion {
  std::string term;  // UTF-8
  std::uint32_t distance = 0;
  std::uint32_t count = 0;  // the term's own count
  std::size_t node = 0;
};

// Fails only on a corrupt index (kInternal).
Result<std::vector<Suggestion>> suggest(const Trie& trie, std::u32string_view term,
                                        std::uint32_t max_dist, std::optional<std::size_t> limit,
                                        Distance distance = Distance::kLevenshtein);

}  // namespace tessarin
