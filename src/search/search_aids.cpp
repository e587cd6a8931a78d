#include "search/search_aids.h"

#include <algorithm>
#include <chrono>

#include "index/trie.h"
#include "index/validation.h"

namespace tessarin {
namespace {

// Whether the reads lie in bounds and the child lists form a tree below the
// root (see the header): what the index's trust level says, or else the
// validation's checks. (An index made to be walked with checked reads may
// still be a tree: the aids read it plainly once these checks passed.)
bool is_tree(const Trie& trie) {
  if (trie.trust() >= Trust::kTree) return true;
  const IndexView view = trie.view();
  return !find_fault(view, Trust::kInBounds).has_value() && !tree_fault(view).has_value();
}

// Calls enter(node, parent) for every node the root reaches, in the walk's
// preorder, the root first (parent 0). With kVisibleOnly, a child with
// label 0 is not entered, nor anything below it. Requires a tree.
template <bool kVisibleOnly, class Enter>
void preorder_walk(const Trie& trie, Enter&& enter) {
  struct Frame {
    std::size_t node;
    std::size_t next;
    std::size_t end;
  };
  std::vector<Frame> stack;
  enter(std::size_t{0}, std::size_t{0});
  const ChildRange root = trie.children(0);
  stack.push_back({0, root.begin, root.end});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.end) {
      stack.pop_back();
      continue;
    }
    const std::size_t child = trie.child_transitions()[top.next++];
    if (kVisibleOnly && trie.child_labels()[child] == 0) continue;
    enter(child, top.node);
    const ChildRange below = trie.children(child);
    if (below.begin < below.end) stack.push_back({child, below.begin, below.end});
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TreeAids build_tree_aids(const Trie& trie) {
  TreeAids aids;
  if (trie.node_count() == 0 || trie.child_transitions().size() >= TreeAids::kTerminalBit ||
      !is_tree(trie)) {
    return aids;
  }
  aids.tree = true;
  aids.root = trie.children(0);
  aids.positions.resize(trie.child_transitions().size());
  for (std::size_t p = 0; p < aids.positions.size(); ++p) {
    const std::uint32_t child = trie.child_transitions()[p];
    const ChildRange range = trie.children(child);
    aids.positions[p] = {trie.child_labels()[child], static_cast<std::uint32_t>(range.begin),
                         static_cast<std::uint32_t>(range.end) |
                             (trie.is_terminal()[child] != 0 ? TreeAids::kTerminalBit : 0)};
  }
  aids.preorder.assign(trie.node_count(), TreeAids::kUnreached);
  std::uint32_t rank = 0;
  preorder_walk<false>(
      trie, [&](std::size_t node, std::size_t /*parent*/) { aids.preorder[node] = rank++; });

  const auto label_at = [&](std::size_t position) {
    return trie.child_labels()[trie.child_transitions()[position]];
  };
  bool sorted = true;
  for (std::size_t i = 0; i < trie.node_count() && sorted; ++i) {
    const ChildRange range = trie.children(i);
    for (std::size_t p = range.begin + 1; p < range.end; ++p) {
      if (label_at(p - 1) > label_at(p)) {
        sorted = false;
        break;
      }
    }
  }
  if (!sorted) {
    aids.by_label.resize(trie.child_transitions().size());
    for (std::size_t p = 0; p < aids.by_label.size(); ++p) {
      aids.by_label[p] = static_cast<std::uint32_t>(p);
    }
    for (std::size_t i = 0; i < trie.node_count(); ++i) {
      const ChildRange range = trie.children(i);
      const auto first = aids.by_label.begin() + static_cast<std::ptrdiff_t>(range.begin);
      const auto last = aids.by_label.begin() + static_cast<std::ptrdiff_t>(range.end);
      std::stable_sort(first, last,
                       [&](std::uint32_t a, std::uint32_t b) { return label_at(a) < label_at(b); });
    }
  }
  return aids;
}

// Building the reversed trie.
//
// A most-significant-digit radix sort of the reversed terms, breadth-first:
// each reversed trie node holds the terms that share its string, each term
// as (its forward node, the forward ancestor whose label comes next). A
// node's terms are ordered by that label (stably, so they stay in
// preorder); those whose ancestor is the root have ended there, and each
// run of one label becomes a child, its terms stepping one ancestor up.
// The next label of a term is read through a parent array, so no reversed
// string is ever spelled out; the work is one step per character of every
// term.
ReversedTrie build_reversed(const Trie& trie, const TreeAids& aids) {
  ReversedTrie out;
  if (!aids.tree) return out;
  struct Item {
    std::uint32_t term;      // the forward terminal node
    std::uint32_t ancestor;  // whose label comes next; 0 once the term ended
    char32_t key;            // that label, or 0 when ended
  };
  std::vector<std::uint32_t> parent(trie.node_count(), 0);
  std::vector<Item> level;
  preorder_walk<true>(trie, [&](std::size_t node, std::size_t above) {
    parent[node] = static_cast<std::uint32_t>(above);
    if (node != 0 && trie.is_terminal()[node] != 0) {
      level.push_back({static_cast<std::uint32_t>(node), static_cast<std::uint32_t>(node), 0});
    }
  });

  out.entries.push_back({0, 0, 0});
  std::vector<std::size_t> offsets = {0, level.size()};  // the level's nodes' items
  std::vector<Item> next;
  std::vector<std::size_t> next_offsets;
  std::size_t level_begin = 0;
  while (level_begin < out.entries.size()) {
    const std::size_t level_end = out.entries.size();
    next.clear();
    next_offsets.assign(1, 0);
    for (std::size_t r = level_begin; r < level_end; ++r) {
      const auto first = level.begin() + static_cast<std::ptrdiff_t>(offsets[r - level_begin]);
      const auto last = level.begin() + static_cast<std::ptrdiff_t>(offsets[r - level_begin + 1]);
      for (auto it = first; it != last; ++it) {
        it->key = it->ancestor == 0 ? char32_t{0} : trie.child_labels()[it->ancestor];
      }
      std::stable_sort(first, last, [](const Item& a, const Item& b) { return a.key < b.key; });
      out.entries[r].first_child = static_cast<std::uint32_t>(out.entries.size());
      out.entries[r].term_begin = static_cast<std::uint32_t>(out.nodes.size());
      auto it = first;
      for (; it != last && it->key == 0; ++it) out.nodes.push_back(it->term);
      while (it != last) {
        const char32_t label = it->key;
        out.entries.push_back({0, label, 0});
        for (; it != last && it->key == label; ++it) {
          next.push_back({it->term, parent[it->ancestor], 0});
        }
        next_offsets.push_back(next.size());
      }
    }
    level.swap(next);
    offsets.swap(next_offsets);
    level_begin = level_end;
  }
  out.entries.push_back({static_cast<std::uint32_t>(out.entries.size()), 0,
                         static_cast<std::uint32_t>(out.nodes.size())});
  out.entries.shrink_to_fit();
  out.nodes.shrink_to_fit();
  return out;
}

DerivedSlot::State& DerivedSlot::state() const {
  State* current = state_.load(std::memory_order_acquire);
  if (current != nullptr) return *current;
  auto fresh = std::make_unique<State>();
  if (state_.compare_exchange_strong(current, fresh.get(), std::memory_order_acq_rel)) {
    return *fresh.release();
  }
  return *current;  // another thread's, installed meanwhile
}

const TreeAids& DerivedSlot::tree(const Trie& trie) const {
  State& s = state();
  std::call_once(s.tree_once, [&] {
    const auto start = std::chrono::steady_clock::now();
    s.tree = build_tree_aids(trie);
    s.tree_seconds = seconds_since(start);
    s.tree_built.store(true, std::memory_order_release);
  });
  return s.tree;
}

const ReversedTrie& DerivedSlot::reversed(const Trie& trie) const {
  const TreeAids& aids = tree(trie);
  State& s = state();
  std::call_once(s.reversed_once, [&] {
    const auto start = std::chrono::steady_clock::now();
    s.reversed = build_reversed(trie, aids);
    s.reversed_seconds = seconds_since(start);
    s.reversed_built.store(true, std::memory_order_release);
  });
  return s.reversed;
}

const SubtreeBounds& DerivedSlot::subtree_bounds(const Trie& trie) const {
  const TreeAids& aids = tree(trie);
  State& s = state();
  std::call_once(s.bounds_once, [&] {
    const auto start = std::chrono::steady_clock::now();
    s.bounds = build_subtree_bounds(trie, aids);
    s.bounds_seconds = seconds_since(start);
    s.bounds_built.store(true, std::memory_order_release);
  });
  return s.bounds;
}

std::size_t DerivedSlot::memory_bytes() const {
  const State* s = state_.load(std::memory_order_acquire);
  if (s == nullptr) return 0;
  std::size_t bytes = sizeof(State);
  if (s->tree_built.load(std::memory_order_acquire)) bytes += s->tree.memory_bytes();
  if (s->reversed_built.load(std::memory_order_acquire)) bytes += s->reversed.memory_bytes();
  if (s->bounds_built.load(std::memory_order_acquire)) bytes += s->bounds.memory_bytes();
  return bytes;
}

double DerivedSlot::derive_seconds() const {
  const State* s = state_.load(std::memory_order_acquire);
  if (s == nullptr) return 0;
  double seconds = 0;
  if (s->tree_built.load(std::memory_order_acquire)) seconds += s->tree_seconds;
  if (s->reversed_built.load(std::memory_order_acquire)) seconds += s->reversed_seconds;
  if (s->bounds_built.load(std::memory_order_acquire)) seconds += s->bounds_seconds;
  return seconds;
}

}  // namespace tessarin
