// The dispatch: which rows and which path answer a query, by edit set,
// query length and bound. Every search of the index comes through here.
//
// fuzzy_walk is the plain walk (search/walk.h over a TrieView), the
// reference that tests and fuzzers compare every other path with. Its rows:
// * Levenshtein: bit-parallel rows (search/bit_rows.h) for a query of at
//   most 63 characters at a bound of at most 8 (the bound fixed at compile
//   time up to 3); otherwise blocked rows (search/blocked_rows.h) where
//   their m / 64 word steps a node beat the band's min(m, 2K) + 1 cells
//   (2K + 1 >= m / 16), banded rows (search/banded_rows.h) elsewhere;
// * Transpositions (search/transpositions.h): banded rows.
// Banded cells are 16-bit when the bound allows, 32 or 64 otherwise.
//
// search_walk gives fuzzy_walk's answers (the same visits of the visitor,
// in the same order, the same failures), found faster where that is exact
// by construction:
// * Levenshtein on an index whose child lists form a verified tree
//   (TreeAids::tree; any index restored by restore_checked() or built, once
//   checked on the first query that needs it), a query of at most 63
//   characters and a bound of at most 3: the walk with the child filter
//   over the derived per-position entries (which for max_dist 0 is a
//   descent along the query); and for terminal nodes with 2 * max_dist < m,
//   unless the visitor steers or gates, the forward-backward passes
//   (search/forward_backward.h);
// * anything else: the plain walk.
// On a verified tree the plain walk cannot fail, and neither can these.
//
// Both first lower the bound to max(m, length of child_transitions) when
// above it: no cell of any row the walk can fill exceeds that (a cell of
// row k is at most max(k, m), and the depth stays below the number of
// child entries examined), so the walk is the same. Cells are clamped at
// bound + 1 and sized for it: no cell overflows, every distance within the
// bound is exact.
//
// A caller may wrap the rows that either path makes (`wrap`, called once
// per walk with the rows and returning what the walk fills: the rows
// themselves or a wrapper over them, search/completion_rows.h). Wrapped
// rows never take the forward-backward passes, which make rows of their
// own.
//
// An index with no nodes has no root: the walk visits nothing. Exceptions
// thrown by a visitor other than InternalFailure pass through.
//
// Thread safety: reads the trie (and its derived aids, built once on first
// use, search/search_aids.h) only; all working state belongs to the call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "index/trie.h"
#include "search/banded_rows.h"
#include "search/bit_rows.h"
#include "search/blocked_rows.h"
#include "search/forward_backward.h"
#include "search/rows.h"
#include "search/search_aids.h"
#include "search/views.h"
#include "search/walk.h"
#include "search/walk_control.h"
#include "util/checked.h"
#include "util/result.h"

namespace tessarin {

// Which rows the plain walk uses; kAuto picks as above. Forcing one is for
// tests: all give the same walk. Under Transpositions only the banded rows
// apply, whatever is asked.
enum class RowEngine : unsigned char { kAuto, kBanded, kBitParallel, kBlocked };

// Which search answers a query. kAuto: the fastest that gives the plain
// walk's answers; kFilter: the same without the forward-backward passes;
// kPlain: the plain walk itself.
enum class SearchEngine : unsigned char { kAuto, kFilter, kPlain };

// The path a query took: the plain walk, the walk with the child filter, or
// the forward-backward passes.
enum class SearchPath : unsigned char { kPlain, kFiltered, kForwardBackward };

namespace walk_detail {

// The largest bound fixed at compile time: the bit rows up to it, and the
// fast paths, which serve no larger one.
inline constexpr std::uint64_t kMaxFixedBound = 3;

// max_dist lowered to max(m, entries of child_transitions), see above.
inline std::uint64_t walk_bound(const Trie& trie, std::size_t m, std::uint32_t max_dist) {
  const std::uint64_t ceiling = std::max<std::uint64_t>(m, trie.child_transitions().size());
  return std::min<std::uint64_t>(max_dist, ceiling);
}

// The rows as the dispatch made them (no wrapper).
struct AsIs {
  template <class Rows>
  Rows& operator()(Rows& rows) const {
    return rows;
  }
};

// f(std::integral_constant<std::size_t, K>{}) for bound K <= kMaxFixedBound.
template <class F>
decltype(auto) with_fixed_bound(std::uint64_t bound, F&& f) {
  switch (bound) {
    case 0:
      return f(std::integral_constant<std::size_t, 0>{});
    case 1:
      return f(std::integral_constant<std::size_t, 1>{});
    case 2:
      return f(std::integral_constant<std::size_t, 2>{});
    default:
      return f(std::integral_constant<std::size_t, 3>{});
  }
}

// f(rows) with the plain walk's rows for this query, bound and request.
template <class Edits, class F>
std::size_t with_rows(std::u32string_view query, std::uint64_t bound, RowEngine engine, F&& f) {
  const std::uint64_t m = query.size();
  if constexpr (!Edits::kSwaps) {
    const bool bits_fit = m <= kMaxBitQuery && bound <= kMaxBitBound;
    if ((engine == RowEngine::kAuto || engine == RowEngine::kBitParallel) && bits_fit) {
      if (bound <= kMaxFixedBound) {
        return with_fixed_bound(bound, [&](auto k) {
          BitRows<decltype(k)::value> rows(query, bound);
          return f(rows);
        });
      }
      BitRows<kAnyBound> rows(query, bound);
      return f(rows);
    }
    const bool blocked =
        engine == RowEngine::kBlocked || (engine == RowEngine::kAuto && !bits_fit &&
                                          m <= kMaxBlockedQuery && 2 * bound + 1 >= m / 16);
    if (blocked) {
      BlockedRows rows(query, bound);
      return f(rows);
    }
  }
  if (bound <= BandedRows<std::uint16_t, Edits>::kMaxBound) {
    BandedRows<std::uint16_t, Edits> rows(query, bound);
    return f(rows);
  }
  if (bound <= BandedRows<std::uint32_t, Edits>::kMaxBound) {
    BandedRows<std::uint32_t, Edits> rows(query, bound);
    return f(rows);
  }
  BandedRows<std::uint64_t, Edits> rows(query, bound);
  return f(rows);
}

// The plain walk over the trie, with plain reads where it allows them.
template <bool kWithPath, class Rows, class Visitor>
std::size_t walk_trie(const Trie& trie, Rows& rows, std::uint64_t bound, bool terminal_only,
                      Visitor& visit) {
  if (trie.trust() >= Trust::kInBounds) {
    return walk<kWithPath, false>(TrieView<false>(trie), rows, bound, terminal_only, visit);
  }
  return walk<kWithPath, false>(TrieView<true>(trie), rows, bound, terminal_only, visit);
}

// The fast search at bound K on a verified tree.
template <std::size_t K, bool kWithPath, class Visitor, class Wrap>
std::size_t fast_search(const Trie& trie, const TreeAids& aids, std::u32string_view term,
                        bool terminal_only, Visitor& visit, SearchEngine engine, SearchPath* taken,
                        Wrap& wrap) {
  if constexpr (K > 0 && !kSteers<Visitor> && !kGates<Visitor> && std::is_same_v<Wrap, AsIs>) {
    if (engine == SearchEngine::kAuto && terminal_only && term.size() > 2 * K) {
      const ReversedTrie& reversed = trie.derived().reversed(trie);
      if (taken != nullptr) *taken = SearchPath::kForwardBackward;
      return forward_backward<K, kWithPath>(trie, aids, reversed, term, visit);
    }
  }
  if (taken != nullptr) *taken = SearchPath::kFiltered;
  BitRows<K> inner(term, K);
  decltype(auto) rows = wrap(inner);
  return walk<kWithPath, /*kFilter=*/true>(ForwardView(trie, aids), rows, K, terminal_only, visit);
}

}  // namespace walk_detail

// The plain walk. Calls visit(node, distance, path) for every node within
// max_dist (only terminal ones when terminal_only is set), in preorder,
// until it answers Walk::kStop (or steers, search/walk_control.h); `path`
// holds the node's term as code points when kWithPath is set, and is empty
// otherwise. Distances count the edits of Edits. Returns the number of rows
// filled, or the internal failure met on a corrupt index.
template <bool kWithPath, class Edits = Levenshtein, class Visitor, class Wrap = walk_detail::AsIs>
Result<std::size_t> fuzzy_walk(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                               bool terminal_only, Visitor&& visit,
                               RowEngine engine = RowEngine::kAuto, Wrap wrap = {}) {
  if (trie.node_count() == 0) return std::size_t{0};
  const std::uint64_t bound = walk_detail::walk_bound(trie, term.size(), max_dist);
  return catch_internal([&]() -> Result<std::size_t> {
    return walk_detail::with_rows<Edits>(term, bound, engine, [&](auto& inner) {
      decltype(auto) rows = wrap(inner);
      return walk_detail::walk_trie<kWithPath>(trie, rows, bound, terminal_only, visit);
    });
  });
}

// fuzzy_walk's answers, by the fastest path that gives them (see above);
// `taken` receives the path. The number returned is the rows filled.
template <bool kWithPath, class Edits = Levenshtein, class Visitor, class Wrap = walk_detail::AsIs>
Result<std::size_t> search_walk(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                                bool terminal_only, Visitor&& visit,
                                SearchEngine engine = SearchEngine::kAuto,
                                SearchPath* taken = nullptr, Wrap wrap = {}) {
  if (taken != nullptr) *taken = SearchPath::kPlain;
  const auto plain = [&] {
    return fuzzy_walk<kWithPath, Edits>(trie, term, max_dist, terminal_only, visit,
                                        RowEngine::kAuto, wrap);
  };
  if constexpr (Edits::kSwaps) {
    return plain();
  } else {
    const std::uint64_t bound = walk_detail::walk_bound(trie, term.size(), max_dist);
    if (engine == SearchEngine::kPlain || trie.node_count() == 0 ||
        term.size() > walk_detail::kMaxBitQuery || bound > walk_detail::kMaxFixedBound) {
      return plain();
    }
    const TreeAids& aids = trie.derived().tree(trie);
    if (!aids.tree) return plain();
    return catch_internal([&]() -> Result<std::size_t> {
      return walk_detail::with_fixed_bound(bound, [&](auto k) {
        return walk_detail::fast_search<decltype(k)::value, kWithPath>(
            trie, aids, term, terminal_only, visit, engine, taken, wrap);
      });
    });
  }
}

}  // namespace tessarin
