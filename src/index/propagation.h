// Top-N propagation: every node's payload becomes the merge of its
// subtree's, cut to the `top_n` videos with the highest counts.
//
// One step decides a node's list from its own payload and its children's
// finished lists (PropagationStep), in one of three ways:
// * a leaf (no children) keeps its own list in its own order, cut;
// * a chain node (one child, no videos of its own, the child's list in
//   payload order with no saturated count) takes its child's list as it is
//   and adds the totals: merging one such list alone would give it back;
// * any other node gets PayloadMerger's list: own and children's counts
//   summed per video, in payload order (index/payload.h), cut.
// Two traversals call that step: propagate() below, over the arrays of a
// built index, and the record builder's, one depth at a time straight from
// its pair log (build/layout.cpp). Both give the same lists for the same
// tree, byte for byte.
//
// Thread safety: a PropagationStep belongs to one traversal at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/payload.h"
#include "index/trie.h"

namespace tessarin {

// A child's list as a step reads it, and whether that list is in payload
// order with distinct videos and no longer than the cut (true of every list
// a step merged).
struct ChildList {
  PayloadView payload;
  bool in_order = false;
};

// What a step made of one node: its total, and whether the list it
// appended is in payload order (for its parent's ChildList).
struct StepResult {
  std::uint32_t total = 0;
  bool in_order = false;
};

class PropagationStep {
 public:
  explicit PropagationStep(std::size_t top_n) : top_n_(top_n) {}

  // Appends the node's list to ids and counts. `own` is the node's own
  // payload (its list in payload order when own_in_order) and must not lie
  // in ids or counts; `children` are its children's lists (a node listed
  // as its own child left out), which may.
  StepResult run(const PayloadView& own, bool own_in_order, std::span<const ChildList> children,
                 std::vector<std::uint32_t>& ids, std::vector<std::uint32_t>& counts);

 private:
  std::size_t top_n_;
  PayloadMerger merger_;
  std::vector<std::uint32_t> ids_;  // scratch for a chain node's copy
  std::vector<std::uint32_t> counts_;
};

// The index with every payload propagated. Nodes are visited from the
// highest index down to the root, so a child with a greater index than its
// parent is finished before the parent merges it: the parent receives the
// child's subtree total and its cut list. A child with a smaller index is
// merged with its own input payload, and a child entry naming the node
// itself is skipped. A node's own input list counts as in payload order
// nowhere (the caller's lists may be in any order). Absent payloads become
// present and empty. Runs once, as the last step of building; requires an
// index in bounds (Trust::kInBounds), whose level the result keeps.
[[nodiscard]] Trie propagate(Trie trie, std::size_t video_top_n);

}  // namespace tessarin
