// The graphs a walk (search/walk.h) reads. A view names each node by a
// handle of its own and gives, for a handle: its label, its terminal flag,
// its child range (positions), and the index node it stands for; for a
// position in a child range, the child's handle.
//
// * TrieView<kChecked>: a Trie's arrays, a handle being a node. Read
//   through the trie's checked accessors (kChecked: an out-of-bounds read is
//   an internal failure), or plainly, for an index whose reads_in_bounds()
//   held when it was made (Trie::trust, kInBounds). Its child lists need not form
//   a tree: kMayRepeat tells the walk to bound the entries it examines.
// * ForwardView: a Trie whose TreeAids::tree holds, read through the
//   per-position entries derived from it (search/search_aids.h): a handle is
//   a position of child_transitions, whose one entry holds the child's
//   label, terminal flag and child range; or, where an index file left the
//   entries out (child entry p names node p + 1), through node p + 1's
//   arrays. Every read is in bounds.
// * ReversedView: a ReversedTrie (search/search_aids.h), a handle being a
//   node.
// The last two also find the children with a given label (find), their
// children being ordered by label, for the walk's child filter.
//
// Thread safety: views only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/trie.h"
#include "search/search_aids.h"

namespace tessarin::walk_detail {

template <bool kChecked>
class TrieView {
 public:
  static constexpr bool kMayRepeat = true;

  explicit TrieView(const Trie& trie)
      : trie_(trie),
        shifts_(trie.node_shifts()),
        shift_count_(trie.node_shifts().size()),
        transitions_(trie.child_transitions()),
        transition_count_(trie.child_transitions().size()),
        labels_(trie.child_labels()),
        label_count_(trie.child_labels().size()),
        terminal_(trie.is_terminal()) {}

  // The number of entries of child_transitions: in a tree, no walk examines
  // more.
  [[nodiscard]] std::size_t entries() const { return transition_count_; }

  [[nodiscard]] ChildRange root() const { return children(0); }
  [[nodiscard]] ChildRange children(std::size_t node) const {
    if constexpr (kChecked) {
      return trie_.children(node);
    } else {
      const std::size_t begin = shifts_[node];
      const std::size_t end = node + 1 < shift_count_ ? shifts_[node + 1] : transition_count_;
      return {begin, end > begin ? end : begin};
    }
  }
  [[nodiscard]] std::size_t child(std::size_t position) const {
    if constexpr (kChecked) {
      return trie_.child(position);
    } else {
      return transitions_[position];
    }
  }
  [[nodiscard]] char32_t label(std::size_t node) const {
    if constexpr (kChecked) {
      return trie_.label(node);
    } else {
      return labels_[node];
    }
  }
  [[nodiscard]] bool terminal(std::size_t node) const {
    if constexpr (kChecked) {
      return trie_.terminal(node);
    } else {
      return terminal_[node] != 0;
    }
  }
  [[nodiscard]] std::size_t node(std::size_t handle) const { return handle; }
  // Its child lists need not be a tree: no reads ahead below the next node.
  void expect_below(std::size_t /*position*/) const {}

  // A hint that the walk is about to read the child entries from `position`
  // on, their labels and maybe their child ranges. The package's builder
  // numbers nodes breadth-first (child_transitions is 1, 2, ..., n - 1), so
  // the entry at `position` usually names node position + 1: its label and
  // node_shifts entry are fetched alongside the entry instead of after it.
  // A hint only; nothing depends on it.
  void expect_children_at(std::size_t position) const {
    if constexpr (!kChecked) {
      if (position + 1 < label_count_) {
        __builtin_prefetch(labels_.address(position + 1));
        __builtin_prefetch(shifts_.address(position + 1));
      }
    }
  }

 private:
  const Trie& trie_;
  NodeShifts shifts_;
  std::size_t shift_count_;
  ChildEntries transitions_;
  std::size_t transition_count_;
  ChildLabels labels_;
  std::size_t label_count_;
  TerminalFlags terminal_;
};

// Appends to `out` the handles of the children in `range` whose label is
// `label`, in sorted order: handle_at(p) is the handle at sorted position
// p (labels ascending over the range's sorted positions), label_of(h) the
// label of handle h. Binary search, O(log(range) + found).
template <class HandleAt, class LabelOf>
void find_children(ChildRange range, char32_t label, HandleAt handle_at, LabelOf label_of,
                   std::vector<std::uint32_t>& out) {
  std::size_t lo = range.begin;
  std::size_t hi = range.end;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (label_of(handle_at(mid)) < label) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  for (std::size_t p = lo; p < range.end && label_of(handle_at(p)) == label; ++p) {
    out.push_back(static_cast<std::uint32_t>(handle_at(p)));
  }
}

class ForwardView {
 public:
  static constexpr bool kMayRepeat = false;

  ForwardView(const Trie& trie, const TreeAids& aids)
      : root_(aids.root),
        entries_(aids.positions.empty() ? nullptr : aids.positions.data()),
        transitions_(trie.child_transitions()),
        by_label_(aids.by_label.empty() ? nullptr : aids.by_label.data()),
        shifts_(trie.node_shifts()),
        labels_(trie.child_labels()),
        terminal_(trie.is_terminal()),
        entry_count_(trie.child_transitions().size()) {}

  [[nodiscard]] ChildRange root() const { return root_; }
  [[nodiscard]] ChildRange children(std::size_t position) const {
    if (entries_ != nullptr) {
      const TreeAids::Position& entry = entries_[position];
      return {entry.begin, entry.end_terminal & ~TreeAids::kTerminalBit};
    }
    const std::size_t begin = shifts_[position + 1];
    const std::size_t end = position + 1 < entry_count_ ? shifts_[position + 2] : entry_count_;
    return {begin, end > begin ? end : begin};
  }
  [[nodiscard]] std::size_t child(std::size_t position) const { return position; }
  [[nodiscard]] char32_t label(std::size_t position) const {
    return entries_ != nullptr ? entries_[position].label : labels_[position + 1];
  }
  [[nodiscard]] bool terminal(std::size_t position) const {
    return entries_ != nullptr ? (entries_[position].end_terminal & TreeAids::kTerminalBit) != 0
                               : terminal_[position + 1] != 0;
  }
  [[nodiscard]] std::size_t node(std::size_t position) const {
    return entries_ != nullptr ? transitions_[position] : position + 1;
  }
  // Read from the node arrays, the walk's next reads are node position + 1's
  // label, range and flag, in three arrays: fetched together.
  void expect_children_at(std::size_t position) const {
    if (entries_ == nullptr) {
      __builtin_prefetch(labels_.address(position + 1));
      __builtin_prefetch(shifts_.address(position + 1));
      __builtin_prefetch(terminal_.address(position + 1));
    }
  }
  // A hint that the walk may soon read the children of the child at
  // `position`: their first entries are fetched.
  void expect_below(std::size_t position) const {
    const ChildRange below = children(position);
    if (below.begin < below.end) {
      if (entries_ != nullptr) {
        __builtin_prefetch(entries_ + below.begin);
      } else {
        __builtin_prefetch(labels_.address(below.begin + 1));
        __builtin_prefetch(shifts_.address(below.begin + 1));
      }
    }
  }

  // The positions in `range` whose child has `label`, in increasing order.
  void find(ChildRange range, char32_t label, std::vector<std::uint32_t>& out) const {
    find_children(
        range, label, [&](std::size_t p) { return by_label_ != nullptr ? by_label_[p] : p; },
        [&](std::size_t h) { return this->label(h); }, out);
  }

 private:
  ChildRange root_;
  // The per-child entries, or null where child entry p names node p + 1
  // (search/search_aids.h): then node p + 1's own arrays are read.
  const TreeAids::Position* entries_;
  ChildEntries transitions_;
  const std::uint32_t* by_label_;
  NodeShifts shifts_;
  ChildLabels labels_;
  TerminalFlags terminal_;
  std::size_t entry_count_;
};

// The children of r are the nodes first_child of r .. first_child of r + 1,
// less one, in ascending label order, each label once.
class ReversedView {
 public:
  static constexpr bool kMayRepeat = false;

  explicit ReversedView(const ReversedTrie& trie) : entries_(trie.entries.data()) {}

  [[nodiscard]] ChildRange root() const { return children(0); }
  [[nodiscard]] ChildRange children(std::size_t node) const {
    return {entries_[node].first_child, entries_[node + 1].first_child};
  }
  [[nodiscard]] std::size_t child(std::size_t position) const { return position; }
  [[nodiscard]] char32_t label(std::size_t node) const { return entries_[node].label(); }
  [[nodiscard]] bool terminal(std::size_t node) const { return entries_[node].terminal(); }
  [[nodiscard]] std::size_t node(std::size_t r) const { return r; }
  void expect_children_at(std::size_t /*position*/) const {}
  // The entries of the children of node r, fetched ahead.
  void expect_below(std::size_t r) const { __builtin_prefetch(entries_ + entries_[r].first_child); }

  void find(ChildRange range, char32_t label, std::vector<std::uint32_t>& out) const {
    find_children(
        range, label, [](std::size_t p) { return p; },
        [&](std::size_t h) { return entries_[h].label(); }, out);
  }

 private:
  const ReversedTrie::Entry* entries_;
};

}  // namespace tessarin::walk_detail
