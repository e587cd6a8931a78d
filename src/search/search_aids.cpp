#include "search/search_aids.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <utility>

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

TreeAidsStore build_tree_aids(const Trie& trie) {
  TreeAidsStore aids;
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
ReversedTrieStore build_reversed(const Trie& trie, const TreeAids& aids) {
  ReversedTrieStore out;
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

  out.entries.push_back({0, 0});
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
      out.term_begin.push_back(static_cast<std::uint32_t>(out.nodes.size()));
      auto it = first;
      for (; it != last && it->key == 0; ++it) out.nodes.push_back(it->term);
      while (it != last) {
        const char32_t label = it->key;
        out.entries.push_back({0, static_cast<std::uint32_t>(label)});
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
  out.entries.push_back({static_cast<std::uint32_t>(out.entries.size()), 0});
  out.term_begin.push_back(static_cast<std::uint32_t>(out.nodes.size()));
  for (std::size_t r = 0; r + 1 < out.entries.size(); ++r) {
    if (out.term_begin[r] < out.term_begin[r + 1]) {
      out.entries[r].label_terminal |= ReversedTrie::kTerminalBit;
    }
  }
  out.entries.shrink_to_fit();
  out.nodes.shrink_to_fit();
  out.term_begin.shrink_to_fit();
  return out;
}

std::vector<std::uint32_t> reversed_ranks(const ReversedTrie& trie) {
  if (trie.term_begin.empty()) return {trie.ranks.begin(), trie.ranks.end()};
  std::vector<std::uint32_t> out;
  std::uint32_t before = 0;
  for (std::size_t r = 0; r < trie.entries.size(); ++r) {
    if (r % ReversedTrie::kRankBlock == 0) out.push_back(before);
    const std::size_t ending = r + 1 < trie.entries.size() ? trie.terms(r).size() : 0;
    if (ending > 1) return {};
    before += static_cast<std::uint32_t>(ending);
  }
  return out;
}

// Checking stored aids.
namespace {

// Arithmetic modulo the Mersenne prime 2^61 - 1.
constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;

std::uint64_t mod_mul(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  const std::uint64_t folded =
      static_cast<std::uint64_t>(product & kPrime) + static_cast<std::uint64_t>(product >> 61);
  return folded >= kPrime ? folded - kPrime : folded;
}

std::uint64_t mod_add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum >= kPrime ? sum - kPrime : sum;
}

// A point of the field drawn at random, unknown to whoever wrote the file.
std::uint64_t random_point() {
  std::uint64_t seed = 0;
  try {
    std::random_device device;
    seed = (std::uint64_t{device()} << 32) ^ device();
  } catch (...) {
    seed = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
  }
  return (seed % (kPrime - (1u << 16))) + (1u << 16);
}

std::string at_entry(const char* what, std::size_t k) {
  return std::string(what) + " " + std::to_string(k);
}

std::optional<std::string> positions_fault(const IndexView& index, const TreeAids& tree) {
  const std::size_t e = index.child_transitions.size();
  if (tree.positions.empty() && entries_follow_nodes(index.child_transitions)) {
    return std::nullopt;  // read from the node arrays
  }
  if (tree.positions.size() != e) return std::string("their child entries are not the index's");
  for (std::size_t p = 0; p < e; ++p) {
    const std::uint32_t child = index.child_transitions[p];
    const ChildRange range = children_of(index, child);
    const TreeAids::Position& got = tree.positions[p];
    const std::uint32_t end = static_cast<std::uint32_t>(range.end) |
                              (index.is_terminal[child] != 0 ? TreeAids::kTerminalBit : 0);
    if (got.label != index.child_labels[child] || got.begin != range.begin ||
        got.end_terminal != end) {
      return at_entry("they differ from the index at child entry", p);
    }
  }
  return std::nullopt;
}

std::optional<std::string> by_label_fault(const IndexView& index, const TreeAids& tree) {
  const std::size_t n = index.child_labels.size();
  const std::size_t e = index.child_transitions.size();
  // The label of the child at p (positions_fault found them equal to the
  // stored entries, when there are any).
  const auto label_at = [&](std::size_t p) {
    return index.child_labels[index.child_transitions[p]];
  };
  if (tree.by_label.empty()) {
    for (std::size_t i = 0; i < n; ++i) {
      const ChildRange range = children_of(index, i);
      for (std::size_t p = range.begin + 1; p < range.end; ++p) {
        if (label_at(p - 1) > label_at(p)) return at_entry("they miss the label order of node", i);
      }
    }
    return std::nullopt;
  }
  if (tree.by_label.size() != e) return std::string("their label order is not the index's length");
  std::vector<std::uint8_t> seen(e, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const ChildRange range = children_of(index, i);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const std::uint32_t q = tree.by_label[p];
      const bool fits = q >= range.begin && q < range.end && seen[q] == 0;
      const bool ordered =
          p == range.begin || label_at(tree.by_label[p - 1]) < label_at(q) ||
          (label_at(tree.by_label[p - 1]) == label_at(q) && tree.by_label[p - 1] < q);
      if (!fits || !ordered) return at_entry("their label order is wrong at child entry", p);
      seen[q] = 1;
    }
  }
  return std::nullopt;
}

// The walk's preorder, compared with the stored ranks; on the way, each
// node's fingerprint (its term's characters as a polynomial at `point`),
// kHidden for nodes with a label 0 on their path. Counts the visible
// terminal nodes other than the root.
constexpr std::uint64_t kHidden = ~std::uint64_t{0};

// The fingerprint of `child` below `parent`'s; counts it if it is a term.
void print_child(const IndexView& index, std::size_t parent, std::size_t child, std::uint64_t point,
                 std::vector<std::uint64_t>& prints, std::size_t& visible_terms) {
  const char32_t label = index.child_labels[child];
  if (prints[parent] != kHidden && label != 0) {
    prints[child] = mod_add(mod_mul(prints[parent], point), label);
    visible_terms += index.is_terminal[child] != 0 ? 1 : 0;
  }
}

// Where every child has a greater number than its parent (breadth-first, as
// builders number nodes), in passes in node order, without a walk: ranks
// follow from subtree sizes (a node's first child comes right after it,
// each next child after the subtree of the one before), and fingerprints
// from the parent's, which comes first. Subtree sizes are summed last node
// first, in the same pass that finds whether the numbering allows this
// (`in_order`); without that order, nothing is checked (the caller walks).
std::optional<std::string> ordered_preorder_fault(const IndexView& index, const TreeAids& tree,
                                                  std::uint64_t point,
                                                  std::vector<std::uint64_t>& prints,
                                                  std::size_t& visible_terms, bool& in_order) {
  const std::size_t n = index.child_labels.size();
  std::vector<std::uint32_t> sizes(n, 1);
  bool ascending = true;
  for (std::size_t v = n; v-- > 0;) {
    const ChildRange range = children_of(index, v);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const std::uint32_t child = index.child_transitions[p];
      ascending &= child > v;
      sizes[v] += sizes[child];  // in bounds; a wrong sum only if not ascending
    }
  }
  in_order = ascending;
  if (!in_order) return std::nullopt;
  if (tree.preorder[0] != 0) return at_entry("their preorder is wrong at node", 0);
  prints[0] = 0;
  for (std::size_t v = 0; v < n; ++v) {
    const ChildRange range = children_of(index, v);
    std::uint64_t rank = std::uint64_t{tree.preorder[v]} + 1;
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const std::uint32_t child = index.child_transitions[p];
      if (tree.preorder[child] != rank) return at_entry("their preorder is wrong at node", child);
      rank += sizes[child];
      print_child(index, v, child, point, prints, visible_terms);
    }
  }
  return std::nullopt;
}

std::optional<std::string> preorder_fault(const IndexView& index, const TreeAids& tree,
                                          std::uint64_t point, std::vector<std::uint64_t>& prints,
                                          std::size_t& visible_terms) {
  const std::size_t n = index.child_labels.size();
  if (tree.preorder.size() != n) return std::string("their preorder is not the index's length");
  prints.assign(n, kHidden);
  bool in_order = false;
  std::optional<std::string> fault =
      ordered_preorder_fault(index, tree, point, prints, visible_terms, in_order);
  if (in_order) return fault;
  struct Frame {
    std::size_t node;
    std::size_t next;
    std::size_t end;
  };
  std::vector<Frame> stack;
  std::uint32_t rank = 0;
  if (tree.preorder[0] != rank++) return at_entry("their preorder is wrong at node", 0);
  prints[0] = 0;
  stack.push_back({0, tree.root.begin, tree.root.end});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.end) {
      stack.pop_back();
      continue;
    }
    const std::size_t parent = top.node;
    const std::size_t child = index.child_transitions[top.next++];
    if (tree.preorder[child] != rank++) return at_entry("their preorder is wrong at node", child);
    print_child(index, parent, child, point, prints, visible_terms);
    const ChildRange below = children_of(index, child);
    if (below.begin < below.end) stack.push_back({child, below.begin, below.end});
  }
  return std::nullopt;
}

// The reversed trie's shape (see the header of this file), then its terms:
// level by level, each node's fingerprint of its reversed string read
// backwards, compared with the forward fingerprint of every node it lists;
// each visible terminal node listed once.
std::optional<std::string> reversed_fault(const IndexView& index, const ReversedTrie& reversed,
                                          std::uint64_t point, std::vector<std::uint64_t>& prints,
                                          std::size_t visible_terms) {
  const std::span<const ReversedTrie::Entry> entries = reversed.entries;
  if (entries.size() < 2) return std::string("their reversed trie has no root");
  const std::size_t r_count = entries.size() - 1;
  const std::string shape = "their reversed trie is malformed at node ";
  if (entries[0].label_terminal != 0 || entries[0].first_child != 1 ||
      entries[r_count].label_terminal != 0 || entries[r_count].first_child != r_count) {
    return shape + "0";
  }
  // Where each node's terms lie: the ranges agree with the terminal flags,
  // or the ranks count them (in the pass over the shape).
  const std::span<const std::uint32_t> begins = reversed.term_begin;
  const std::span<const std::uint32_t> ranks = reversed.ranks;
  constexpr std::size_t kBlock = ReversedTrie::kRankBlock;
  const bool ranked = begins.empty();
  if (ranked && ranks.size() != (entries.size() + kBlock - 1) / kBlock) {
    return std::string("their reversed trie's ranks are not one per block");
  }
  std::size_t before = 0;  // terminal nodes before r
  for (std::size_t r = 0; r < r_count; ++r) {
    const ReversedTrie::Entry& here = entries[r];
    const ReversedTrie::Entry& next = entries[r + 1];
    // The next node's first child is bounded here, before its children's
    // labels are compared below: its own turn comes after.
    const bool fits = here.first_child >= r + 1 && here.first_child <= next.first_child &&
                      next.first_child <= r_count && (r == 0 || here.label() != 0);
    if (!fits) return shape + std::to_string(r);
    for (std::size_t c = here.first_child + 1; c < next.first_child; ++c) {
      if (entries[c - 1].label() >= entries[c].label()) return shape + std::to_string(r);
    }
    if (ranked) {
      if (r % kBlock == 0 && ranks[r / kBlock] != before) return shape + std::to_string(r);
      before += here.terminal() ? 1 : 0;
    }
  }
  if (ranked) {  // the last entry, an end mark, is no term (checked above)
    if ((r_count % kBlock == 0 && ranks[r_count / kBlock] != before) ||
        before != reversed.nodes.size()) {
      return shape + std::to_string(r_count);
    }
  } else {
    if (begins.size() != entries.size() || begins[0] != 0 ||
        begins[r_count] != reversed.nodes.size()) {
      return shape + "0";
    }
    for (std::size_t r = 0; r < r_count; ++r) {
      if (begins[r] > begins[r + 1] || entries[r].terminal() != (begins[r] < begins[r + 1])) {
        return shape + std::to_string(r);
      }
    }
  }
  if (visible_terms != reversed.nodes.size()) {
    return std::string("their reversed trie lists ") + std::to_string(reversed.nodes.size()) +
           " terms of " + std::to_string(visible_terms);
  }
  const std::size_t n = index.child_labels.size();
  constexpr std::uint64_t kListed = kHidden - 1;  // above every fingerprint, and not kHidden
  constexpr std::size_t kAhead = 16;
  // Level by level, nodes are met in their order (the shape above makes
  // each level's children the next level, in order): the terms of node r
  // start where those of the nodes before it end. Per node of the level,
  // its fingerprint; point^depth is the level's.
  std::vector<std::uint64_t> level{0};
  std::vector<std::uint64_t> next;
  std::uint64_t power = 1;
  std::size_t listed = 0;
  std::size_t begin = 0;
  std::size_t end = 1;
  while (begin < end) {
    next.clear();
    for (std::size_t r = begin; r < end; ++r) {
      const std::uint64_t print = level[r - begin];
      const std::size_t count =
          begins.empty() ? (entries[r].terminal() ? 1 : 0) : begins[r + 1] - begins[r];
      for (std::size_t p = listed; p < listed + count; ++p) {
        // Terms are met in the order they are listed: fetch ahead the
        // entries of the node listed some terms further on.
        if (p + kAhead < reversed.nodes.size() && reversed.nodes[p + kAhead] < n) {
          __builtin_prefetch(&prints[reversed.nodes[p + kAhead]]);
          __builtin_prefetch(index.is_terminal.address(reversed.nodes[p + kAhead]));
        }
        const std::uint32_t node = reversed.nodes[p];
        if (node == 0 || node >= n || index.is_terminal[node] == 0 || prints[node] != print) {
          return at_entry("their reversed trie lists a wrong term at node", r);
        }
        prints[node] = kListed;
      }
      listed += count;
      for (std::uint32_t c = entries[r].first_child; c < entries[r + 1].first_child; ++c) {
        next.push_back(mod_add(print, mod_mul(entries[c].label(), power)));
      }
    }
    level.swap(next);
    power = mod_mul(power, point);
    begin = std::exchange(end, entries[end].first_child);
  }
  return std::nullopt;
}

}  // namespace

bool entries_follow_nodes(const ChildEntries& child_transitions) {
  if (child_transitions.is_identity()) return true;
  for (std::size_t p = 0; p < child_transitions.size(); ++p) {
    if (child_transitions[p] != p + 1) return false;
  }
  return true;
}

void complete_stored_aids(const IndexView& index, StoredAids& aids) {
  aids.tree.tree = true;
  aids.tree.root = children_of(index, 0);
}

std::optional<std::string> stored_aids_fault(const IndexView& index, const StoredAids& aids) {
  const std::size_t n = index.child_labels.size();
  if (n == 0 || index.child_transitions.size() >= TreeAids::kTerminalBit) {
    return std::string("they are stored for an index they do not apply to");
  }
  if (std::optional<std::string> fault = positions_fault(index, aids.tree)) return fault;
  if (std::optional<std::string> fault = by_label_fault(index, aids.tree)) return fault;
  const std::uint64_t point = random_point();
  std::vector<std::uint64_t> prints;
  std::size_t visible_terms = 0;
  if (std::optional<std::string> fault =
          preorder_fault(index, aids.tree, point, prints, visible_terms)) {
    return fault;
  }
  if (std::optional<std::string> fault =
          reversed_fault(index, aids.reversed, point, prints, visible_terms)) {
    return fault;
  }
  return std::nullopt;
}

std::optional<std::string> stored_bounds_fault(const IndexView& index, const StoredAids& aids) {
  if (aids.bounds.empty()) return std::nullopt;
  return subtree_bounds_fault(index, aids.tree, aids.bounds);
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
  if (const StoredAids* stored = trie.stored_aids()) return stored->tree;
  State& s = state();
  std::call_once(s.tree_once, [&] {
    const auto start = std::chrono::steady_clock::now();
    s.tree_store = build_tree_aids(trie);
    s.tree = s.tree_store.view();
    s.tree_seconds = seconds_since(start);
    s.tree_built.store(true, std::memory_order_release);
  });
  return s.tree;
}

const ReversedTrie& DerivedSlot::reversed(const Trie& trie) const {
  if (const StoredAids* stored = trie.stored_aids()) return stored->reversed;
  const TreeAids& aids = tree(trie);
  State& s = state();
  std::call_once(s.reversed_once, [&] {
    const auto start = std::chrono::steady_clock::now();
    s.reversed_store = build_reversed(trie, aids);
    s.reversed = s.reversed_store.view();
    s.reversed_seconds = seconds_since(start);
    s.reversed_built.store(true, std::memory_order_release);
  });
  return s.reversed;
}

std::span<const std::uint32_t> DerivedSlot::subtree_bounds(const Trie& trie) const {
  if (const StoredAids* stored = trie.stored_aids(); stored != nullptr && !stored->bounds.empty()) {
    return stored->bounds;
  }
  const TreeAids& aids = tree(trie);
  State& s = state();
  std::call_once(s.bounds_once, [&] {
    const auto start = std::chrono::steady_clock::now();
    s.bounds = build_subtree_bounds(trie, aids);
    s.bounds_seconds = seconds_since(start);
    s.bounds_built.store(true, std::memory_order_release);
  });
  return s.bounds.best;
}

std::size_t DerivedSlot::memory_bytes() const {
  const State* s = state_.load(std::memory_order_acquire);
  if (s == nullptr) return 0;
  std::size_t bytes = sizeof(State);
  if (s->tree_built.load(std::memory_order_acquire)) bytes += s->tree_store.memory_bytes();
  if (s->reversed_built.load(std::memory_order_acquire)) {
    bytes += s->reversed_store.memory_bytes();
  }
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
