// Completion: the indexed terms that what is being typed is the beginning
// of, allowing for typos, the most searched first.
//
// A term T completes a text q within k when some prefix P of T (the empty
// one and T itself included) lies within k edits of q; its distance is the
// least such. Edits are Levenshtein's over code points, or with
// Distance::kOsa the optimal string alignment's (a swap of neighbours is
// one edit too). exact_prefix = n asks P to begin with the first n
// characters of q (all of q when it is shorter: then only the terms that
// begin with q complete it, at distance 0). The terms are the visible
// terminal nodes (a label 0 hides a subtree; the root is no term), each
// with its own count (query/node_info.h); a term that two nodes spell is
// two completions. Order: distance, then count (highest first), then term
// (code points), then node; the limit cuts after that order, so no
// completion is ever left out for a farther or less searched one.
//
// complete() finds them without enumerating subtrees, on an index whose
// child lists form a verified tree (TreeAids::tree):
//   1. Seeds. A walk (search/dispatch.h) over rows that ask the first n
//      labels exactly (search/completion_rows.h, ExactHeadRows), with a
//      steering visitor: a node whose last cell is within the bound
//      completes q with its whole subtree, so the visitor reports it and
//      lets the walk go on below it only where a row can still lower that
//      distance (search/walk_control.h). The reported nodes (seeds) cover
//      every completion, each term at the distance of its deepest seed;
//      seeds nested in a seed are strictly closer. With no head asked, the
//      root is a seed at distance m when m <= k (the empty prefix), and the
//      walk runs below it with the bound m - 1.
//   2. Terms, best first. A priority queue of subtrees and terms keyed by
//      (distance, count or upper bound descending, term, subtree before
//      term): a subtree's key uses the greatest own count below it
//      (search/subtree_bounds.h, derived once per index) and its node's
//      term, which precedes every term below it, so the key never exceeds
//      that of any completion inside and the terms come off the queue in
//      the exact order. Popping a subtree pushes its node's term and its
//      visible children that are not seeds themselves (a nested seed
//      counts at its own, lower distance); popping a term emits it.
//   3. Deepening. The walk runs at bound 0, then 1, 2 and 3, then the
//      greatest bound needed, and each round draws the terms of the seeds
//      new to it (their distances being above the last round's bound);
//      each round's seeds at lower distances are the last round's, and its
//      terms were all emitted. Once the limit is met no wider walk runs, so
//      a text whose exact completions fill the list costs one exact walk
//      and the draws, however large the bound asked.
// Completing "a" costs one step of the walk and about limit * depth * fan-out
// queue entries, however many terms begin with "a". Where a walk is
// Levenshtein's on at most 63 characters with a bound of at most 3, it has
// the child filter; otherwise it is the plain walk, with its rows.
//
// On any other index (child lists that are no tree, kPlain for tests) the
// plain path: one walk at the bound over rows that keep a subtree alive
// below a node within it (search/completion_rows.h, CompletionRows), which
// reports every completion by path, then a sort. It has the walk's
// bounds: on a corrupt index an internal failure, never an unbounded walk.
//
// Cost (fast path): the walks, plus O(e log e) for the e queue entries;
// the subtree bounds are built on the first call (O(nodes + entries)).
// Thread safety: reads the trie and its derived aids only.
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

struct Completion {
  std::string term;  // UTF-8
  std::uint32_t distance = 0;
  std::uint32_t count = 0;  // the term's own count
  std::size_t node = 0;
};

// Which path answers: the fastest (kAuto) or the plain one (tests compare).
enum class CompleteEngine : unsigned char { kAuto, kPlain };

struct CompleteOptions {
  std::uint32_t max_dist = 1;
  std::optional<std::size_t> limit = 10;  // none: every completion
  std::size_t exact_prefix = 0;
  Distance distance = Distance::kLevenshtein;
  CompleteEngine engine = CompleteEngine::kAuto;
};

// What a call did, for benchmarks.
struct CompleteStats {
  std::size_t rows = 0;      // rows the walks filled
  std::size_t children = 0;  // children read while drawing terms
  std::size_t expanded = 0;  // subtrees opened while drawing terms
  std::size_t walks = 0;
  bool plain = false;  // the plain path answered
};

// Fails only on a corrupt index (kInternal).
Result<std::vector<Completion>> complete(const Trie& trie, std::u32string_view text,
                                         const CompleteOptions& options,
                                         CompleteStats* stats = nullptr);

}  // namespace tessarin
