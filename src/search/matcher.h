// The matcher: the terminal nodes (and their terms) or the nodes within a
// bounded distance of a query, as the module's fuzzy_match and the queries
// of src/query ask for them. Each is the walk (search/walk.h) by the path
// that search/dispatch.h picks, with a visitor that records or hands on
// what it reports:
// * fuzzy_match() reports terminal nodes with their terms, in preorder, up
//   to a limit, to a visitor (the binding's builds Python objects as the
//   walk goes; the vector form records them);
// * fuzzy_match_nodes() records node indices and distances, under either
//   distance.
// Results come in preorder, a node before its descendants.
//
// Thread safety: reads the trie only; all working state belongs to the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "search/dispatch.h"
#include "search/distance.h"
#include "search/walk_control.h"
#include "util/result.h"

namespace tessarin {

// A terminal node within the bound, with its term in UTF-8.
struct MatchResult {
  std::string term;
  std::size_t node = 0;
  std::uint32_t distance = 0;
};

// A node within the bound. Distances never exceed max_dist, an unsigned
// 32-bit value, so they are held in 32 bits.
struct NodeMatch {
  std::size_t node = 0;
  std::uint32_t distance = 0;
};

// The terminal nodes within max_dist of term, in preorder, with their terms;
// at most `limit` of them, the walk stopping at the limit-th. The vector form
// of the fuzzy_match template below, which holds the method's logic.
Result<std::vector<MatchResult>> fuzzy_match(const Trie& trie, std::u32string_view term,
                                             std::uint32_t max_dist,
                                             std::optional<std::size_t> limit);

// The nodes within max_dist of term, in preorder; only terminal ones when
// terminal_only is set. Distances count the edits that `distance` names.
Result<std::vector<NodeMatch>> fuzzy_match_nodes(const Trie& trie, std::u32string_view term,
                                                 std::uint32_t max_dist, bool terminal_only,
                                                 Distance distance = Distance::kLevenshtein);

// PrefixSearch.fuzzy_match: calls on_match(node, distance, term) for each
// terminal node within max_dist of term, in preorder, `term` holding the
// node's term as code points (valid during the call), until `limit` nodes
// have been reported or on_match answers Walk::kStop. A limit of 0 reports
// nothing and does not walk. Returns the number of nodes reported (a node
// whose on_match answered kStop not counted), or the internal failure met
// on a corrupt index.
template <class OnMatch>
Result<std::size_t> fuzzy_match(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                                std::optional<std::size_t> limit, OnMatch&& on_match) {
  if (limit && *limit == 0) return std::size_t{0};
  std::size_t reported = 0;
  const Result<std::size_t> walked =
      search_walk<true>(trie, term, max_dist, /*terminal_only=*/true,
                        [&](std::size_t node, std::uint32_t distance, std::u32string_view path) {
                          if (on_match(node, distance, path) == Walk::kStop) return Walk::kStop;
                          ++reported;
                          return limit && reported >= *limit ? Walk::kStop : Walk::kGoOn;
                        });
  if (!walked.ok()) return walked.error();
  return reported;
}

}  // namespace tessarin
