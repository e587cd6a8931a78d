// Laying out a trie from distinct terms and their (term, video) sums.
//
// lay_out() turns the builder's tables into the flat arrays of
// index/from_arrays.h (BuildInput), which build() then checks, assembles
// and propagates:
//
// * nodes numbered breadth-first over the sorted terms, so every child has
//   a greater index than its parent and the children of a node are
//   consecutive: child_transitions is 1, 2, ..., n - 1 and node_shifts[i]
//   the position of node i's first child in it;
// * one label per node, the character on the edge into it (0 for the root);
// * a payload for every node that ends a term: the term's total count and
//   its videos, highest count first, equal counts by table position, counts
//   saturated at 2^32 - 1 after that order is decided on the exact sums;
// * the video table sorted (integers by value, UUIDs by their bytes).
//
// The method. Terms are sorted by their bytes, which for UTF-8 is the order
// of code points. In that order, a term adds one node per character beyond
// its longest common prefix with the previous term (in characters), and
// the nodes at one depth appear in lexicographic order, which is their
// breadth-first order. Two passes over the sorted terms therefore suffice:
// the first counts the nodes of each depth, which fixes where each depth
// starts; the second hands out the numbers, depth by depth in arrival
// order, and counts each parent's children. Both passes cost O(total length
// of the terms); so does the sort, in 8-byte chunks of each term's
// distinguishing prefix (sorted_terms()).
//
// The arrays are those of the pure-Python layout (tessarin_reference), item for
// item, so the same records give the same index byte for byte.
//
// Thread safety: reads its inputs only; the pair log must be compacted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "build/pair_log.h"
#include "build/term_table.h"
#include "build/video_table.h"
#include "index/from_arrays.h"

namespace tessarin::builder {

// Called now and then with the work done so far, out of `total`.
using StepProgress = std::function<void(std::size_t done, std::size_t total)>;

// The term ids in the order of their bytes.
[[nodiscard]] std::vector<std::uint32_t> sorted_terms(const TermTable& terms);

// The arrays of the index; the terms' ids must follow the order of their
// bytes (sorted_terms() is the identity), the videos must be in sorted
// order (VideoTable::reorder()) and `log` must be compacted.
[[nodiscard]] BuildInput lay_out(const TermTable& terms, const PairLog& log,
                                 const VideoTable& videos, std::size_t video_top_n,
                                 const StepProgress& progress);

// The finished index: what build() makes of lay_out()'s arrays, byte for
// byte, made without them. Propagation runs one depth at a time from the
// deepest, each node by the step that propagate() takes
// (index/propagation.h), and each term's own list is made from the pair
// log when its node is reached, so neither the input payloads of all nodes nor a second copy of
// the results exists at once: the peak is about the index plus the pair
// log. With `release`, the terms are freed once the shape is known and
// the log once propagation is done. The index is made at Trust::kTree
// (checked); it is consistent too (index/validation.h), unchecked. Same preconditions as lay_out().
[[nodiscard]] Trie build_trie(TermTable& terms, PairLog& log, const VideoTable& videos,
                              std::size_t video_top_n, const StepProgress& progress, bool release);

}  // namespace tessarin::builder
