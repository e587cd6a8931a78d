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
// child lists form a verified tree (TreeAids::tree), one distance at a
// time, d = 0, 1, ... up to the bound (a round each), until the limit is
// met:
//   1. Seeds. A node whose last cell is d completes the text with its whole
//      subtree, at d or less. A round's walk (search/dispatch.h, bound d,
//      over rows that ask the first n labels exactly: search/completion_rows.h,
//      ExactHeadRows) reports the first such node on each path and never goes
//      below a node it reports (search/walk_control.h, Steer): below lie only
//      nodes within d - 1, the seeds of earlier rounds. Its reports at d are
//      the round's seeds; each term at distance d lies below exactly one of
//      them, and outside the subtrees of the earlier rounds' seeds (closer
//      terms, all emitted, since those rounds did not meet the limit). With
//      no head asked the root is the seed of round m (the empty prefix); with
//      a head, the head's node is reached in round m - n and nothing lies
//      beyond it.
//   2. Terms, best first, as each seed is reported. A priority queue of
//      subtrees and terms keyed by (count or upper bound descending, text,
//      subtree before term): a subtree's key uses the greatest own count
//      below its node (search/subtree_bounds.h, derived once per index) and
//      its node's text, which precedes every term below, so no key exceeds
//      that of a term inside and terms come off in their exact order
//      (count, then term). Popping a subtree queues its node's term and its
//      visible children that are no earlier seeds; popping a term offers it
//      to the round's best (a heap of at most the limit still wanted). A
//      seed's draw stops at the first entry that could not be kept.
//   3. The gate. Once the round holds as many terms as it wants, the walk
//      skips every child whose subtree bound is below the worst term held
//      (search/walk_control.h, admits), and so do the draws: nothing there
//      could enter.
// The round's terms are emitted in order. Completing "a" costs one step of
// the walk (round 0 finds the node of "a") and about limit * depth * fan-out
// queue entries, however many terms begin with "a". Each walk is
// Levenshtein's with the child filter where that applies (at most 63
// characters, a bound of at most 3); otherwise the plain walk with its rows.
// A round at d >= 1 must prove that nothing else lies within d: where fewer
// terms than the limit complete the text within d, its walk is the whole
// walk at bound d.
//
// On any other index (child lists that are no tree, kPlain for tests) the
// plain path: one walk at the bound over rows that keep a subtree alive
// below a node within it (search/completion_rows.h, CompletionRows), which
// reports every completion by path, then a sort. It has the walk's
// bounds: on a corrupt index an internal failure, never an unbounded walk.
//
// Cost (fast path): one walk per distance up to min(bound, m) (at most
// five at the package's bound of 4), plus O(e log e) for the e queue
// entries, plus O(s log s) for the s seeds; the subtree bounds are built on
// the first call (O(nodes + entries)).
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
