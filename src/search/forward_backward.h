// The forward-backward search for terminal nodes (Mihov and Schulz, "Fast
// approximate search in large dictionaries", Computational Linguistics
// 30(4), 2004; compared with other methods in Boytsov, "Indexing methods for
// approximate dictionary searching: comparative analysis", ACM Journal of
// Experimental Algorithmics 16, 2011).
//
// Idea. Split the query q (m characters) into q1 = q[1..h] and q2 = the
// rest, and take the bound k = k1 + k2 + 1 with k1 = floor(k / 2) and
// k2 = ceil(k / 2) - 1. An optimal alignment of a term t with q reaches
// column h (the end of q1) first after spending some P errors and leaves it
// for good with S errors still to come; P + S <= d(t, q) <= k, so P <= k1
// or S <= k2. Hence two passes, each a walk whose early part is almost
// exact, which is where a plain walk spends nearly all its visits:
//   1. forward: the index's trie with q, alignments with P <= k1 (capped
//      rows, search/bit_rows.h, columns up to h capped at k1);
//   2. backward: the reversed trie of the terms (search/search_aids.h) with
//      q reversed, alignments with S <= k2 (the reversed alignment reaches
//      column m - h first after spending exactly S).
// Every term within k is found by one pass at least, with its exact
// distance by a pass whose constraint an optimal alignment meets; a pass
// may find a term at more than its distance (no optimal alignment meets its
// constraint), never less. So each node keeps the least distance found.
//
// Steps: run both passes collecting (node, distance, term); read each
// node's preorder rank; sort by rank, then distance; keep each node's first
// entry; hand them to the visitor in that order, which is the plain walk's
// preorder, until it answers Walk::kStop. A limit therefore keeps the first
// `limit` matches of the plain walk exactly.
//
// Requires a tree (TreeAids::tree), 1 <= K <= 3, 2K < m <= 63. Cost: the
// two passes (usually a small fraction of the plain walk's rows), plus
// O(r log r) for r matches. The matches and their terms are kept in the
// calling thread's spares (util/scratch.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "search/bit_rows.h"
#include "search/search_aids.h"
#include "search/views.h"
#include "search/walk.h"
#include "search/walk_control.h"
#include "util/scratch.h"

namespace tessarin::walk_detail {

// The length h of q1. The backward pass allows fewer errors in its half
// (k2 <= k1), so it gets the shorter half when m is odd.
inline std::size_t forward_split(std::size_t m) { return (m + 1) / 2; }

// The tag of the found terms' spare (util/scratch.h).
struct FoundTermsScratch;

template <std::size_t K, bool kWithPath, class Visitor>
std::size_t forward_backward(const Trie& trie, const TreeAids& aids, const ReversedTrie& reversed,
                             std::u32string_view query, Visitor& visit) {
  static_assert(K >= 1 && K <= 3);
  struct Found {
    std::uint32_t rank;
    std::uint32_t node;
    std::uint32_t distance;
    std::uint32_t term_at;  // in `texts` (kWithPath)
    std::uint32_t term_size;
  };
  const std::size_t m = query.size();
  const std::size_t h = forward_split(m);
  // The thread's spares (util/scratch.h).
  Scratch<Found> found_store;
  std::vector<Found>& found = found_store.get();
  Scratch<char32_t, FoundTermsScratch> texts_store;
  std::vector<char32_t>& texts = texts_store.get();
  std::size_t visited = 0;

  // 1. Forward.
  {
    BitRows<K, true> rows(query, K, h, K / 2);
    const ForwardView view(trie, aids);
    auto collect = [&](std::size_t node, std::uint32_t distance, std::u32string_view path) {
      __builtin_prefetch(aids.preorder.data() + node);
      found.push_back({0, static_cast<std::uint32_t>(node), distance,
                       static_cast<std::uint32_t>(texts.size()),
                       static_cast<std::uint32_t>(path.size())});
      if constexpr (kWithPath) texts.insert(texts.end(), path.begin(), path.end());
      return Walk::kGoOn;
    };
    visited += walk<kWithPath, /*kFilter=*/true>(view, rows, K, /*terminal_only=*/true, collect);
  }
  // 2. Backward.
  {
    std::array<char32_t, kMaxBitQuery> reversed_query;
    std::reverse_copy(query.begin(), query.end(), reversed_query.begin());
    const std::u32string_view backwards(reversed_query.data(), m);
    BitRows<K, true> rows(backwards, K, m - h, (K + 1) / 2 - 1);
    const ReversedView view(reversed);
    auto collect = [&](std::size_t r, std::uint32_t distance, std::u32string_view path) {
      const auto term_at = static_cast<std::uint32_t>(texts.size());
      if constexpr (kWithPath) texts.insert(texts.end(), path.rbegin(), path.rend());
      for (const std::uint32_t node : reversed.terms(r)) {
        __builtin_prefetch(aids.preorder.data() + node);
        found.push_back({0, node, distance, term_at, static_cast<std::uint32_t>(path.size())});
      }
      return Walk::kGoOn;
    };
    visited += walk<kWithPath, /*kFilter=*/true>(view, rows, K, /*terminal_only=*/true, collect);
  }
  // 3. Preorder, each node once at its least distance. The ranks, in an
  // array neither walk reads, were fetched as the nodes were found.
  for (Found& f : found) f.rank = aids.preorder[f.node];
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.rank < b.rank || (a.rank == b.rank && a.distance < b.distance);
  });
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (i > 0 && found[i].node == found[i - 1].node) continue;
    const std::u32string_view term =
        kWithPath ? std::u32string_view(texts.data() + found[i].term_at, found[i].term_size)
                  : std::u32string_view();
    if (visit(std::size_t{found[i].node}, found[i].distance, term) == Walk::kStop) break;
  }
  return visited;
}

}  // namespace tessarin::walk_detail
