// The walk: every node of a view (search/views.h) whose term (the labels
// from the root down to it, the root's own excluded) lies within a bound of
// a query, under the rows (search/rows.h) given to it. Every search of the
// index is this walk, over one view or another, with one set of rows or
// another, with the child filter or without; search/dispatch.h chooses.
//
//   depth-first from the root, children in the order of their range; a
//   child with label 0 is skipped with its subtree; the child's row is
//   filled from its parent's; when the row minimum exceeds the bound the
//   child is skipped with its subtree; otherwise, when the last cell (the
//   distance between the whole query and the child's term) is within the
//   bound and the child passes the terminal filter, the visitor is called
//   (search/walk_control.h), and it may stop the walk or steer it below the
//   child; then the walk descends into the child. A gating visitor is asked
//   first whether the child may be entered at all.
//
// Results come in preorder, a node before its descendants. The root is only
// the starting point: its label and terminal flag are never read.
//
// Child filter (kFilter, with BitRows over a view that can find children by
// label): where the rows say that only children with certain labels can
// pass (BitRows::children_of), the walk looks those labels up among the
// children (binary search) and fills rows only for the children it finds,
// in their range order; a short child range is scanned instead, with the
// same test on each label. The rows filled, the nodes reported and their
// order are those of the walk without the filter less the children that
// would have been filled and found dead.
//
// How the walk stays sound on any index:
// * An explicit stack, not recursion: no native stack depth to run out of.
//   The frame of the node being expanded stays in locals; the stack holds
//   the frames above it. A child with no children gets no frame (its range
//   is still read, in the same order).
// * Child lists that are not a tree (a shared child, a cycle) could make the
//   walk visit exponentially many paths. In a tree every entry of
//   child_transitions is examined at most once per walk (each node is
//   entered along one path, and two nodes' child ranges cannot share an
//   entry), so over a view that may repeat (TrieView) the walk counts
//   examined entries and ends with an internal failure once the count
//   exceeds their number. A walk therefore costs O(entries * min(m, bound))
//   at most, and on a tree nothing changes.
// * Reads are the view's: checked or plain (search/views.h). Hints that
//   fetch what the walk reads next (expect_children_at, expect_below) read
//   only what the walk could read.
//
// Returns the number of rows filled (nodes visited). The view is taken by
// value: a copy of its own that no call can change, so that its fields stay
// in registers across the visitor's calls. Thread safety: reads the view
// only; all working state belongs to the call, in vectors lent by the
// calling thread (util/scratch.h), so that a walk allocates nothing once
// its thread has walked before.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "index/child_range.h"
#include "search/rows.h"
#include "search/walk_control.h"
#include "util/scratch.h"

namespace tessarin::walk_detail {

// The examined-entry bound was passed: the child lists are not a tree.
[[noreturn]] void fail_not_a_tree(std::size_t limit);

// Child ranges this short are scanned, label by label, rather than
// searched.
inline constexpr std::size_t kScanChildren = 8;
// A frame's first children whose own children are fetched ahead.
inline constexpr std::size_t kExpectBelow = 8;

// A frame field that a walk may not need: T, or an empty stand-in (one type
// per field, so that the stand-ins take no room).
template <int kField>
struct Nothing {};
template <bool kHas, class T, int kField>
using Maybe = std::conditional_t<kHas, T, Nothing<kField>>;

// The vector a Scratch lends, or the stand-in itself.
template <class T, class Tag>
std::vector<T>& lent(Scratch<T, Tag>& store) {
  return store.get();
}
template <int kField>
Nothing<kField>& lent(Nothing<kField>& nothing) {
  return nothing;
}

// Tags of the walk's spares (util/scratch.h).
struct PickedScratch;
struct PathScratch;

template <bool kWithPath, bool kFilter, class View, WalkRows Rows, class Visitor>
std::size_t walk(const View view, Rows& rows, std::uint64_t bound, bool terminal_only,
                 Visitor& visit) {
  constexpr bool kSteered = kSteers<Visitor>;
  constexpr std::size_t kNotListed = ~std::size_t{0};
  // A frame walks a child range (positions next .. end - 1) or, with the
  // filter, a range whose labels must meet `bits` (when not 0) or a list of
  // positions that the filter picked (picked[next .. end - 1], the list
  // beginning at `base`).
  struct Frame {
    std::size_t next;
    std::size_t end;
    [[no_unique_address]] Maybe<kFilter, std::uint64_t, 0> bits;
    [[no_unique_address]] Maybe<kFilter, std::size_t, 1> base;
    // The bound for the children's rows, as a steering visitor lowered it.
    [[no_unique_address]] Maybe<kSteered, std::uint64_t, 2> bound;
  };
  // The working vectors are the thread's spares (util/scratch.h).
  Scratch<Frame> frame_store;
  std::vector<Frame>& frames = frame_store.get();
  frames.reserve(32);
  [[maybe_unused]] Maybe<kFilter, Scratch<std::uint32_t, PickedScratch>, 3> picked_store;
  [[maybe_unused]] auto& picked = lent(picked_store);
  // path[d] is the label at depth d + 1 on the way to the current node
  // (kWithPath only); entries past the current depth are stale.
  [[maybe_unused]] Maybe<kWithPath, Scratch<char32_t, PathScratch>, 4> path_store;
  [[maybe_unused]] auto& path = lent(path_store);
  if constexpr (kWithPath) path.resize(32);
  // Entries the walk may still examine (a view that may repeat).
  [[maybe_unused]] std::size_t unexamined = 0;
  if constexpr (View::kMayRepeat) unexamined = view.entries();
  std::size_t visited = 0;

  // The frame for the children in `range` of the node whose row is row
  // `depth`, under `limit` (kSteered); empty when the filter lets none of
  // them pass. Returned by value, so that the frame being walked stays in
  // registers.
  const auto open = [&](ChildRange range, std::size_t depth,
                        [[maybe_unused]] std::uint64_t limit) -> Frame {
    Frame frame{};
    frame.next = range.begin;
    frame.end = range.end;
    if constexpr (kSteered) frame.bound = limit;
    if constexpr (kFilter) {
      frame.bits = 0;
      frame.base = kNotListed;
      const ChildFilter filter = rows.children_of(depth);
      if (!filter.filter) return frame;
      frame.end = frame.next;  // none passes, unless found below
      if (filter.bits == 0) return frame;
      if (range.end - range.begin <= kScanChildren) {
        frame.end = range.end;
        frame.bits = filter.bits;
        return frame;
      }
      const std::size_t base = picked.size();
      std::size_t labels = 0;
      rows.for_each_label(filter.bits, [&](char32_t c) {
        view.find(range, c, picked);
        ++labels;
      });
      if (picked.size() == base) return frame;
      if (labels > 1) {
        std::sort(picked.begin() + static_cast<std::ptrdiff_t>(base), picked.end());
      }
      frame.next = base;
      frame.end = picked.size();
      frame.base = base;
    }
    return frame;
  };

  // The children of the first few children the frame will walk: their
  // reads no longer wait for the walk to reach each child in turn (a hint
  // to the view, which may ignore it).
  const auto expect_below = [&](const Frame& frame) {
    const std::size_t last = std::min(frame.end, frame.next + kExpectBelow);
    for (std::size_t k = frame.next; k < last; ++k) {
      std::size_t position = k;
      if constexpr (kFilter) {
        if (frame.base != kNotListed) position = picked[k];
      }
      view.expect_below(position);
    }
  };

  Frame cur = open(view.root(), 0, bound);
  std::size_t depth = 0;  // of the expanded node; frames.size() == depth
  for (;;) {
    if (cur.next >= cur.end) {
      if (depth == 0) break;
      --depth;
      if constexpr (kFilter) {
        if (cur.base != kNotListed) picked.resize(cur.base);
      }
      cur = frames.back();
      frames.pop_back();
      continue;
    }
    std::size_t position = cur.next++;
    if constexpr (kFilter) {
      if (cur.base != kNotListed) position = picked[position];
    }
    const std::size_t child = view.child(position);
    if constexpr (View::kMayRepeat) {
      if (unexamined-- == 0) [[unlikely]] {
        fail_not_a_tree(view.entries());
      }
    }
    const char32_t label = view.label(child);
    if (label == 0) continue;
    if constexpr (kFilter) {
      if (cur.bits != 0 && !rows.passes(ChildFilter{true, cur.bits}, label)) continue;
    }
    if constexpr (kGates<Visitor>) {
      if (!visit.admits(view.node(child))) continue;
    }

    // The blocked rows reuse the parent's row for its last child.
    const Filled row = rows.fill(depth, label, cur.next == cur.end);
    ++visited;
    if (!row.alive) continue;
    // The bound in force here, and below the child.
    std::uint64_t limit = bound;
    [[maybe_unused]] std::uint64_t limit_below = bound;
    if constexpr (kSteered) {
      limit = cur.bound;
      if (limit < bound && !rows.reaches(depth + 1, limit)) continue;
      limit_below = limit;
    }
    if constexpr (kWithPath) {
      if (depth >= path.size()) [[unlikely]] {
        path.resize(2 * depth + 2);
      }
      path[depth] = label;
    }
    if (row.distance <= limit && (!terminal_only || view.terminal(child))) {
      std::u32string_view term;
      if constexpr (kWithPath) term = std::u32string_view(path.data(), depth + 1);
      const auto answer = visit(view.node(child), static_cast<std::uint32_t>(row.distance), term);
      if constexpr (kSteered) {
        if (answer.walk == Walk::kStop) return visited;
        if (answer.below == 0) continue;
        limit_below = std::min(limit, answer.below - 1);
      } else {
        if (answer == Walk::kStop) return visited;
      }
    }
    const ChildRange below = view.children(child);
    if (below.begin < below.end) {
      view.expect_children_at(below.begin);
      const Frame next = open(below, depth + 1, limit_below);
      if (next.next < next.end) {
        expect_below(next);
        frames.push_back(cur);
        cur = next;
        ++depth;
      }
    }
  }
  return visited;
}

}  // namespace tessarin::walk_detail
