#include "format/mapped_form.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "util/bit_count.h"

namespace tessarin::format {
namespace {

constexpr std::size_t kScalarsSize = 16;

static_assert(sizeof(char32_t) == 4 && sizeof(Uuid) == 16);
static_assert(sizeof(TreeAids::Position) == 12 && sizeof(ReversedTrie::Entry) == 8);
static_assert(sizeof(PayloadMarks) == 12);
static_assert(sizeof(ShiftGroup) == 64 && alignof(ShiftGroup) <= 8);

// A reversed trie entry as the first layouts stored it (kind 16).
struct WideReversedEntry {
  std::uint32_t first_child;
  char32_t label;
  std::uint32_t term_begin;
};
static_assert(sizeof(WideReversedEntry) == 12);

bool little_endian() { return std::endian::native == std::endian::little; }

// The element size of a known kind (0 for the scalars, a block of their
// own), or nothing for a kind this release does not know.
std::optional<std::size_t> element_size(std::uint32_t kind) {
  switch (static_cast<SectionKind>(kind)) {
    case SectionKind::kScalars:
      return 0;
    case SectionKind::kIsTerminal:
    case SectionKind::kTerminalBits:
    case SectionKind::kPayloadLengths:
      return 1;
    case SectionKind::kChildLabels16:
      return 2;
    case SectionKind::kVideoIds24:
      return 3;
    case SectionKind::kPayloadOffsets:
    case SectionKind::kReversedPacked:
      return 8;
    case SectionKind::kVideoUuids:
      return 16;
    case SectionKind::kShiftGroups:
      return sizeof(ShiftGroup);
    case SectionKind::kPositions:
    case SectionKind::kReversedEntries:
    case SectionKind::kPayloadMarks:
      return 12;
    case SectionKind::kNodeShifts:
    case SectionKind::kChildLabels:
    case SectionKind::kChildTransitions:
    case SectionKind::kPayloadSlots:
    case SectionKind::kPayloadTotals:
    case SectionKind::kVideoIds:
    case SectionKind::kVideoCounts:
    case SectionKind::kVideoIntIds:
    case SectionKind::kPreorder:
    case SectionKind::kByLabel:
    case SectionKind::kReversedNodes:
    case SectionKind::kPayloadOffsets32:
    case SectionKind::kReversedRanks:
    case SectionKind::kPayloadBlocks:
    case SectionKind::kCompletionBound:
      return 4;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- writing

// Each node's payload slot: a node whose payload equals its only child's
// (a chain node) shares the child's slot (followed down the chain), any
// other has a slot of its own; slots numbered in order of first use. Marked
// (every chain node's child above it): chain nodes marked shared, the others'
// slots in node order. O(n + listed videos).
void assign_slots(const Trie& trie, MappedPlan& plan) {
  const Payloads& payloads = trie.payloads();
  const std::size_t n = payloads.size();
  const auto same = [&](std::size_t a, std::size_t b) {
    if (!payloads.present(a) || !payloads.present(b)) return false;
    const PayloadView x = payloads.view(a);
    const PayloadView y = payloads.view(b);
    return x.total_count == y.total_count && x.video_ids == y.video_ids &&
           std::ranges::equal(x.video_counts, y.video_counts);
  };
  // keeper[i]: the node down i's chain whose payload i keeps; i itself when
  // its payload is its own.
  std::vector<std::uint32_t> keeper(n);
  for (std::size_t i = 0; i < n; ++i) keeper[i] = static_cast<std::uint32_t>(i);
  plan.marked = n > 0;
  for (std::size_t i = n; i-- > 0;) {
    const ChildRange range = trie.children(i);
    if (range.end - range.begin != 1) continue;
    const std::uint32_t child = trie.child_transitions()[range.begin];
    if (same(i, child)) {
      keeper[i] = child;
      plan.marked = plan.marked && child > i;
    }
  }
  constexpr std::uint32_t kNone = Payloads::kAbsent;
  plan.offsets.assign(1, 0);
  if (plan.marked) {
    // At most kMaxShared chain nodes in a row (a longer chain, in a term
    // of more characters, is written with slots).
    std::vector<std::uint8_t> run(n, 0);
    for (std::size_t i = 0; i < n && plan.marked; ++i) {
      if (keeper[i] == i) continue;
      plan.marked = run[i] < MarkedNodes::kMaxShared;
      run[keeper[i]] = static_cast<std::uint8_t>(run[i] + 1);
    }
  }
  if (plan.marked) {
    plan.marks.assign((n + 31) / 32, PayloadMarks{0, 0, 0});
    for (std::size_t i = 0; i < n; ++i) {
      PayloadMarks& m = plan.marks[i / 32];
      if (i % 32 == 0) m.before = static_cast<std::uint32_t>(plan.slot_nodes.size());
      const std::uint32_t bit = std::uint32_t{1} << (i % 32);
      if (keeper[i] != i) {
        m.shared |= bit;
      } else if (payloads.present(i)) {
        m.own |= bit;
        plan.slot_nodes.push_back(static_cast<std::uint32_t>(i));
        plan.offsets.push_back(plan.offsets.back() + payloads.view(i).video_ids.size());
      }
    }
    return;
  }
  // Follow chains to their end, shortening them as we go (children may
  // have lower numbers than their parents in an index not laid out
  // breadth-first).
  const auto resolve = [&](std::uint32_t node) {
    std::uint32_t end = node;
    while (keeper[end] != end) end = keeper[end];
    while (keeper[node] != end) node = std::exchange(keeper[node], end);
    return end;
  };
  std::vector<std::uint32_t> slot_of_keeper(n, kNone);
  plan.slots.assign(n, kNone);
  for (std::size_t i = 0; i < n; ++i) {
    if (!payloads.present(i)) continue;
    const std::uint32_t end = resolve(static_cast<std::uint32_t>(i));
    if (slot_of_keeper[end] == kNone) {
      slot_of_keeper[end] = static_cast<std::uint32_t>(plan.slot_nodes.size());
      plan.slot_nodes.push_back(end);
      plan.offsets.push_back(plan.offsets.back() + payloads.view(end).video_ids.size());
    }
    plan.slots[i] = slot_of_keeper[end];
  }
}

// The shifts in groups (ShiftGroup), each based at its least, or none
// when a group's shifts spread wider than an offset holds.
std::vector<ShiftGroup> group_shifts(const NodeShifts& shifts) {
  constexpr std::size_t kNodes = ShiftGroup::kNodes;
  std::vector<ShiftGroup> groups((shifts.size() + kNodes - 1) / kNodes, ShiftGroup{0, {}});
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const std::size_t first = g * kNodes;
    const std::size_t last = std::min(shifts.size(), first + kNodes);
    std::uint32_t low = shifts[first];
    std::uint32_t high = low;
    for (std::size_t i = first; i < last; ++i) {
      low = std::min(low, shifts[i]);
      high = std::max(high, shifts[i]);
    }
    if (high - low > 0xFFFFu) return {};
    groups[g].base = low;
    for (std::size_t i = first; i < last; ++i) {
      groups[g].offsets[i - first] = static_cast<std::uint16_t>(shifts[i] - low);
    }
  }
  return groups;
}

template <class T>
void put(std::span<std::uint8_t> out, const Section& section, std::span<const T> values) {
  if (!values.empty()) std::memcpy(out.data() + section.offset, values.data(), values.size_bytes());
}

}  // namespace

Result<MappedPlan> plan_mapped(const Trie& trie) {
  if (!little_endian())
    return Error{ErrorKind::kEncode, "index files are written on little-endian machines only"};
  if (trie.trust() < Trust::kSound) {
    if (std::optional<Fault> fault = find_fault(trie.view(), Trust::kSound)) {
      return Error{ErrorKind::kEncode, "the index does not hold together: " + describe(*fault)};
    }
  }
  if (trie.node_count() >= Payloads::kAbsent) {
    return Error{ErrorKind::kEncode, "the index has too many nodes for an index file"};
  }
  MappedPlan plan;
  plan.trie = &trie;
  assign_slots(trie, plan);
  const TreeAids& tree = trie.derived().tree(trie);
  plan.aids = tree.tree;
  if (plan.aids) {
    plan.tree = tree;
    plan.reversed = trie.derived().reversed(trie);
    plan.reversed_ranks = reversed_ranks(plan.reversed);
    plan.bounds = trie.derived().subtree_bounds(trie);
    // A node that ends two terms (sibling labels repeat, below the sound
    // level that writing asks) would need their ranges: never met.
    plan.aids = !plan.reversed_ranks.empty();
  }
  const std::size_t n = trie.node_count();
  using K = SectionKind;
  const auto entry = [](K kind, std::size_t size) {
    return std::pair<std::uint32_t, std::size_t>{static_cast<std::uint32_t>(kind), size};
  };
  std::vector<std::pair<std::uint32_t, std::size_t>> kinds = {entry(K::kScalars, kScalarsSize)};
  if (plan.aids) {
    if (!entries_follow_nodes(trie.child_transitions())) {
      kinds.push_back(entry(K::kPositions, plan.tree.positions.size_bytes()));
    }
    kinds.push_back(entry(K::kByLabel, plan.tree.by_label.size_bytes()));
    kinds.push_back(entry(K::kReversedPacked, plan.reversed.entries.size_bytes()));
    kinds.push_back(entry(K::kReversedRanks, plan.reversed_ranks.size() * 4));
    kinds.push_back(entry(K::kReversedNodes, plan.reversed.nodes.size_bytes()));
    kinds.push_back(entry(K::kPreorder, plan.tree.preorder.size_bytes()));
    kinds.push_back(entry(K::kCompletionBound, plan.bounds.size_bytes()));
  }
  const std::size_t listed = plan.offsets.back();
  bool short_lists = true;
  for (std::size_t k = 1; k < plan.offsets.size(); ++k) {
    short_lists = short_lists && plan.offsets[k] - plan.offsets[k - 1] <= 0xFF;
  }
  plan.blocked_offsets = short_lists && listed <= 0xFFFFFFFFu;
  plan.narrow_offsets = !plan.blocked_offsets && listed <= 0xFFFFFFFFu;
  plan.shift_groups = group_shifts(trie.node_shifts());
  plan.narrow_labels =
      std::ranges::all_of(trie.child_labels(), [](char32_t label) { return label < 0x10000; });
  plan.narrow_ids = std::ranges::all_of(plan.slot_nodes, [&](std::uint32_t node) {
    return std::ranges::all_of(trie.payloads().view(node).video_ids,
                               [](std::uint32_t video) { return video < (1U << 24); });
  });
  const std::size_t slot_count = plan.slot_nodes.size();
  kinds.insert(
      kinds.end(),
      {plan.shift_groups.empty() ? entry(K::kNodeShifts, n * 4)
                                 : entry(K::kShiftGroups, plan.shift_groups.size() * 64),
       plan.narrow_labels ? entry(K::kChildLabels16, n * 2) : entry(K::kChildLabels, n * 4),
       entry(K::kChildTransitions, trie.child_transitions().size() * 4),
       entry(K::kTerminalBits, (n + 7) / 8),
       plan.marked ? entry(K::kPayloadMarks, plan.marks.size() * sizeof(PayloadMarks))
                   : entry(K::kPayloadSlots, n * 4),
       entry(K::kPayloadTotals, plan.slot_nodes.size() * 4),
       plan.blocked_offsets  ? entry(K::kPayloadBlocks, (slot_count / ListOffsets::kBlock + 1) * 4)
       : plan.narrow_offsets ? entry(K::kPayloadOffsets32, plan.offsets.size() * 4)
                             : entry(K::kPayloadOffsets, plan.offsets.size() * 8),
       plan.narrow_ids ? entry(K::kVideoIds24, listed * 3) : entry(K::kVideoIds, listed * 4),
       entry(K::kVideoCounts, listed * 4),
       entry(K::kVideoIntIds, trie.video_int_ids().size_bytes()),
       entry(K::kVideoUuids, trie.video_uuids().size_bytes())});
  if (n > 0 && entries_follow_nodes(trie.child_transitions())) {
    // Entry p names node p + 1: the reader knows it without the array.
    std::erase_if(kinds, [](const auto& k) {
      return k.first == static_cast<std::uint32_t>(K::kChildTransitions);
    });
  }
  if (plan.blocked_offsets) {
    // The lengths after the blocks, so that both lie near the totals.
    const auto blocks = std::find_if(kinds.begin(), kinds.end(), [](const auto& k) {
      return k.first == static_cast<std::uint32_t>(K::kPayloadBlocks);
    });
    kinds.insert(blocks + 1, entry(K::kPayloadLengths, slot_count));
  }
  plan.sections = plan_sections(kinds);
  return plan;
}

Status write_mapped(MappedPlan& plan, std::span<std::uint8_t> out) {
  if (out.size() != plan.size()) {
    return Error{ErrorKind::kInternal, "an index file's form of " + std::to_string(plan.size()) +
                                           " bytes written into a buffer of " +
                                           std::to_string(out.size())};
  }
  const Trie& trie = *plan.trie;
  const Payloads& payloads = trie.payloads();
  for (const Section& section : plan.sections.sections) {
    std::uint8_t* at = out.data() + section.offset;
    switch (static_cast<SectionKind>(section.kind)) {
      case SectionKind::kScalars: {
        std::memset(at, 0, kScalarsSize);
        const auto mode = static_cast<std::uint32_t>(trie.id_mode());
        std::memcpy(at, &mode, 4);
        break;
      }
      case SectionKind::kPositions:
        put(out, section, plan.tree.positions);
        break;
      case SectionKind::kByLabel:
        put(out, section, plan.tree.by_label);
        break;
      case SectionKind::kReversedPacked:
        put(out, section, plan.reversed.entries);
        break;
      case SectionKind::kReversedRanks:
        put<std::uint32_t>(out, section, plan.reversed_ranks);
        break;
      case SectionKind::kReversedEntries:  // never written
        break;
      case SectionKind::kReversedNodes:
        put(out, section, plan.reversed.nodes);
        break;
      case SectionKind::kPreorder:
        put(out, section, plan.tree.preorder);
        break;
      case SectionKind::kNodeShifts:
        for (const std::uint32_t shift : trie.node_shifts()) {
          std::memcpy(at, &shift, 4);
          at += 4;
        }
        break;
      case SectionKind::kShiftGroups:
        put<ShiftGroup>(out, section, plan.shift_groups);
        break;
      case SectionKind::kChildLabels:
      case SectionKind::kChildLabels16: {
        const std::size_t width = plan.narrow_labels ? 2 : 4;
        for (const char32_t label : trie.child_labels()) {
          std::memcpy(at, &label, width);  // little-endian: the low bytes
          at += width;
        }
        break;
      }
      case SectionKind::kChildTransitions:
        for (const std::uint32_t child : trie.child_transitions()) {
          std::memcpy(at, &child, 4);
          at += 4;
        }
        break;
      case SectionKind::kIsTerminal:  // never written
        break;
      case SectionKind::kTerminalBits: {
        std::memset(at, 0, section.size);
        std::size_t i = 0;
        for (const std::uint8_t t : trie.is_terminal()) {
          at[i / 8] = static_cast<std::uint8_t>(at[i / 8] | (t != 0 ? 1U << (i % 8) : 0U));
          ++i;
        }
        break;
      }
      case SectionKind::kPayloadSlots:
        put<std::uint32_t>(out, section, plan.slots);
        break;
      case SectionKind::kPayloadMarks:
        put<PayloadMarks>(out, section, plan.marks);
        break;
      case SectionKind::kPayloadTotals:
        for (const std::uint32_t node : plan.slot_nodes) {
          const std::uint32_t total = payloads.view(node).total_count;
          std::memcpy(at, &total, 4);
          at += 4;
        }
        break;
      case SectionKind::kPayloadOffsets:
        put<std::uint64_t>(out, section, plan.offsets);
        break;
      case SectionKind::kPayloadOffsets32:
        for (const std::uint64_t offset : plan.offsets) {
          const auto narrow = static_cast<std::uint32_t>(offset);
          std::memcpy(at, &narrow, 4);
          at += 4;
        }
        break;
      case SectionKind::kPayloadBlocks:
        for (std::size_t k = 0; k < plan.offsets.size(); k += ListOffsets::kBlock) {
          const auto offset = static_cast<std::uint32_t>(plan.offsets[k]);
          std::memcpy(at, &offset, 4);
          at += 4;
        }
        break;
      case SectionKind::kPayloadLengths:
        for (std::size_t k = 1; k < plan.offsets.size(); ++k) {
          *at++ = static_cast<std::uint8_t>(plan.offsets[k] - plan.offsets[k - 1]);
        }
        break;
      case SectionKind::kVideoIds:
      case SectionKind::kVideoIds24: {
        const std::size_t width = plan.narrow_ids ? 3 : 4;
        for (const std::uint32_t node : plan.slot_nodes) {
          for (const std::uint32_t video : payloads.view(node).video_ids) {
            std::memcpy(at, &video, width);  // little-endian: the low bytes
            at += width;
          }
        }
        break;
      }
      case SectionKind::kVideoCounts:
        for (const std::uint32_t node : plan.slot_nodes) {
          const std::span<const std::uint32_t> list = payloads.view(node).video_counts;
          if (!list.empty()) std::memcpy(at, list.data(), list.size_bytes());
          at += list.size_bytes();
        }
        break;
      case SectionKind::kVideoIntIds:
        put(out, section, trie.video_int_ids());
        break;
      case SectionKind::kVideoUuids:
        put(out, section, trie.video_uuids());
        break;
      case SectionKind::kCompletionBound:
        put(out, section, plan.bounds);
        break;
    }
  }
  finish_sections(plan.sections, out);
  return {};
}

Result<std::vector<std::uint8_t>> mapped_to_vec(const Trie& trie) {
  Result<MappedPlan> plan = plan_mapped(trie);
  if (!plan.ok()) return plan.error();
  std::vector<std::uint8_t> out(plan.value().size());
  const Status written = write_mapped(plan.value(), out);
  if (!written.ok()) return written.error();
  return out;
}

// ---------------------------------------------------------------- reading

namespace {

// The known sections of a form, each as bytes.
struct Found {
  // By kind, up to the greatest that is not optional.
  static constexpr std::size_t kKinds = static_cast<std::size_t>(SectionKind::kShiftGroups) + 1;
  std::optional<std::span<const std::uint8_t>> bytes[kKinds];
  std::optional<std::span<const std::uint8_t>> bound;  // kCompletionBound

  [[nodiscard]] bool has(SectionKind kind) const {
    return bytes[static_cast<std::size_t>(kind)].has_value();
  }
  template <class T>
  [[nodiscard]] std::span<const T> as(SectionKind kind) const {
    const std::optional<std::span<const std::uint8_t>>& b = bytes[static_cast<std::size_t>(kind)];
    if (!b || b->empty()) return {};
    return {reinterpret_cast<const T*>(b->data()), b->size() / sizeof(T)};
  }
};

Error damaged(const std::string& what) {
  return Error{ErrorKind::kDamaged, "the index file does not hold together: " + what};
}

// The payload layout of the header: offsets from 0 rising to the lists'
// length, slots below the slot count and numbered in order of first use,
// every slot named.
template <class Offset>
std::optional<Error> offsets_fault(std::span<const std::uint32_t> totals,
                                   std::span<const Offset> offsets, std::size_t listed) {
  if (offsets.size() != totals.size() + 1) {
    return damaged("it has " + std::to_string(offsets.size()) + " payload offsets for " +
                   std::to_string(totals.size()) + " payloads");
  }
  if (offsets.front() != 0 || offsets.back() != listed) {
    return damaged("its payload offsets do not span its " + std::to_string(listed) +
                   " listed videos");
  }
  for (std::size_t k = 1; k < offsets.size(); ++k) {
    if (offsets[k] < offsets[k - 1])
      return damaged("its payload offsets fall at " + std::to_string(k));
  }
  return std::nullopt;
}

// Blocked offsets: a length per payload, and each block's start their sum
// so far, the lengths' sum the lists' length.
std::optional<Error> blocks_fault(std::span<const std::uint32_t> totals,
                                  std::span<const std::uint32_t> blocks,
                                  std::span<const std::uint8_t> lengths, std::size_t listed) {
  if (lengths.size() != totals.size() || blocks.size() != totals.size() / ListOffsets::kBlock + 1) {
    return damaged("it has " + std::to_string(lengths.size()) + " payload lengths and " +
                   std::to_string(blocks.size()) + " blocks for " + std::to_string(totals.size()) +
                   " payloads");
  }
  std::size_t at = 0;
  for (std::size_t s = 0; s <= lengths.size(); ++s) {
    if (s % ListOffsets::kBlock == 0 && blocks[s / ListOffsets::kBlock] != at) {
      return damaged("its payload blocks are wrong at payload " + std::to_string(s));
    }
    if (s < lengths.size()) at += lengths[s];
  }
  if (at != listed) {
    return damaged("its payload lengths do not span its " + std::to_string(listed) +
                   " listed videos");
  }
  return std::nullopt;
}

// Marks as PayloadMarks asks them: one per 32 nodes, none past the last
// node, no node both own and shared, the own ones before each counted right
// and one per payload; a shared node with exactly one child, above it, that
// has a payload (so that a chain ends, at a node with a slot), and no more
// than kMaxShared of them in a row. O(n), and a byte of scratch per node.
std::optional<Error> marks_fault(const MarkedNodes& marked, std::size_t payload_count) {
  const std::size_t n = marked.nodes;
  const std::span<const PayloadMarks> marks = marked.marks;
  if (marks.size() != (n + 31) / 32 || marked.node_shifts.size() != n) {
    return damaged("it has " + std::to_string(marks.size()) + " payload marks for " +
                   std::to_string(n) + " nodes");
  }
  const ChildEntries& transitions = marked.child_transitions;
  std::size_t own = 0;
  std::vector<std::uint8_t> run;  // per node, the shared nodes in a row above it
  for (std::size_t w = 0; w < marks.size(); ++w) {
    const PayloadMarks& m = marks[w];
    const std::size_t first = 32 * w;
    const std::size_t in_word = std::min<std::size_t>(32, n - first);
    const std::uint32_t beyond = in_word == 32 ? 0 : ~((std::uint32_t{1} << in_word) - 1);
    if (m.before != own || (m.own & m.shared) != 0 || ((m.own | m.shared) & beyond) != 0) {
      return damaged("its payload marks are wrong at node " + std::to_string(first));
    }
    own += static_cast<std::size_t>(bit_count(m.own));
    for (std::uint32_t bits = m.shared; bits != 0; bits &= bits - 1) {
      const std::size_t i = first + static_cast<std::size_t>(std::countr_zero(bits));
      const std::size_t begin = marked.node_shifts[i];
      const std::size_t end = i + 1 < n ? marked.node_shifts[i + 1] : transitions.size();
      const std::size_t child = begin < transitions.size() ? transitions[begin] : 0;
      if (end != begin + 1 || begin >= transitions.size() || child <= i || child >= n ||
          (((marks[child / 32].own | marks[child / 32].shared) >> (child % 32)) & 1U) == 0) {
        return damaged("node " + std::to_string(i) +
                       " shares a payload with a child it does not have");
      }
      if (run.empty()) run.assign(n, 0);
      if (run[i] >= MarkedNodes::kMaxShared) {
        return damaged("node " + std::to_string(i) + " ends a chain of more than " +
                       std::to_string(MarkedNodes::kMaxShared) + " nodes that share a payload");
      }
      run[child] = std::max(run[child], static_cast<std::uint8_t>(run[i] + 1));
    }
  }
  if (own != payload_count) {
    return damaged("it marks " + std::to_string(own) + " nodes with a payload of their own for " +
                   std::to_string(payload_count) + " payloads");
  }
  return std::nullopt;
}

std::optional<Error> slots_fault(std::span<const std::uint32_t> slots,
                                 std::span<const std::uint32_t> totals) {
  std::size_t met = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] == Payloads::kAbsent || slots[i] < met) continue;
    if (slots[i] != met) {
      return damaged("node " + std::to_string(i) + " names payload " + std::to_string(slots[i]) +
                     " before payload " + std::to_string(met));
    }
    ++met;
  }
  if (met != totals.size()) {
    return damaged("it has " + std::to_string(totals.size() - met) + " payloads no node names");
  }
  return std::nullopt;
}

}  // namespace

Result<Trie> read_mapped(std::span<const std::uint8_t> form, ArrayOwner owner, bool verify,
                         bool trusted) {
  if (trusted) verify = false;
  if (!little_endian()) return value_error("index files are read on little-endian machines only");
  if (reinterpret_cast<std::uintptr_t>(form.data()) % 8 != 0) {
    return value_error("an index file's form must lie at an address that is a multiple of 8");
  }
  Result<std::vector<Section>> sections = read_sections(form, verify);
  if (!sections.ok()) return sections.error();
  Found found;
  for (const Section& section : sections.value()) {
    const std::optional<std::size_t> element = element_size(section.kind);
    if (!element) {
      if ((section.kind & kOptionalKind) != 0) continue;
      return damaged("it has a section of unknown kind " + std::to_string(section.kind));
    }
    const std::size_t size = *element == 0 ? kScalarsSize : *element;
    if (*element == 0 ? section.size != size : section.size % size != 0) {
      return damaged("section kind " + std::to_string(section.kind) + " has " +
                     std::to_string(section.size) + " bytes");
    }
    const std::span<const std::uint8_t> bytes = form.subspan(section.offset, section.size);
    if (section.kind == static_cast<std::uint32_t>(SectionKind::kCompletionBound)) {
      found.bound = bytes;
    } else {
      if (section.kind >= Found::kKinds) {  // a known kind past the table: never
        return damaged("it has a section of unknown kind " + std::to_string(section.kind));
      }
      found.bytes[section.kind] = bytes;
    }
  }
  using K = SectionKind;
  for (const K kind :
       {K::kScalars, K::kPayloadTotals, K::kVideoCounts, K::kVideoUuids, K::kVideoIntIds}) {
    if (!found.has(kind)) {
      return damaged("it lacks section kind " + std::to_string(static_cast<std::uint32_t>(kind)));
    }
  }
  const bool blocked = found.has(K::kPayloadBlocks);
  if (blocked != found.has(K::kPayloadLengths) ||
      int{found.has(K::kPayloadOffsets)} + int{found.has(K::kPayloadOffsets32)} + int{blocked} !=
          1) {
    return damaged("it lacks its payload offsets or holds them twice");
  }
  const bool marked = found.has(K::kPayloadMarks);
  if (marked == found.has(K::kPayloadSlots)) {
    return damaged("it lacks its payload slots or holds them twice");
  }
  const std::span<const std::uint32_t> scalars = found.as<std::uint32_t>(K::kScalars);
  if (scalars[0] > static_cast<std::uint32_t>(IdMode::Int32) || scalars[1] != 0 ||
      scalars[2] != 0 || scalars[3] != 0) {
    return damaged("its scalars are damaged");
  }

  if (found.has(K::kChildLabels) == found.has(K::kChildLabels16)) {
    return damaged("it lacks its child labels or holds them twice");
  }
  if (found.has(K::kNodeShifts) == found.has(K::kShiftGroups)) {
    return damaged("it lacks its node shifts or holds them twice");
  }
  IndexView view;
  view.child_labels = found.has(K::kChildLabels)
                          ? ChildLabels(found.as<char32_t>(K::kChildLabels))
                          : ChildLabels::narrow(found.as<std::uint16_t>(K::kChildLabels16).data(),
                                                found.as<std::uint16_t>(K::kChildLabels16).size());
  // Left out, entry p names node p + 1 (the tree's checks below then check
  // that this numbering makes a tree of the node arrays).
  view.child_transitions =
      found.has(K::kChildTransitions)
          ? ChildEntries(found.as<std::uint32_t>(K::kChildTransitions))
          : ChildEntries::identity(view.child_labels.empty() ? 0 : view.child_labels.size() - 1);
  if (found.has(K::kIsTerminal) == found.has(K::kTerminalBits)) {
    return damaged("it lacks its terminal flags or holds them twice");
  }
  const std::size_t n = view.child_labels.size();
  if (found.has(K::kShiftGroups)) {
    const std::span<const ShiftGroup> groups = found.as<ShiftGroup>(K::kShiftGroups);
    constexpr std::size_t kNodes = ShiftGroup::kNodes;
    if (groups.size() != (n + kNodes - 1) / kNodes ||
        (n % kNodes != 0 &&
         std::any_of(groups.back().offsets + n % kNodes, groups.back().offsets + kNodes,
                     [](std::uint16_t offset) { return offset != 0; }))) {
      return damaged("its node shifts are not one per node");
    }
    view.node_shifts = NodeShifts::grouped(groups.data(), n);
  } else {
    view.node_shifts = found.as<std::uint32_t>(K::kNodeShifts);
  }
  if (found.has(K::kTerminalBits)) {
    const std::span<const std::uint8_t> bits = found.as<std::uint8_t>(K::kTerminalBits);
    if (bits.size() != (n + 7) / 8 || (n % 8 != 0 && (bits.back() >> (n % 8)) != 0)) {
      return damaged("its terminal flags are not one bit per node");
    }
    view.is_terminal = TerminalFlags::packed(bits.data(), n);
  } else {
    view.is_terminal = found.as<std::uint8_t>(K::kIsTerminal);
  }
  view.video_uuids = found.as<Uuid>(K::kVideoUuids);
  view.video_int_ids = found.as<std::uint32_t>(K::kVideoIntIds);
  view.id_mode = static_cast<IdMode>(scalars[0]);
  const std::span<const std::uint32_t> slots = found.as<std::uint32_t>(K::kPayloadSlots);
  const std::span<const std::uint32_t> totals = found.as<std::uint32_t>(K::kPayloadTotals);
  if (found.has(K::kVideoIds) == found.has(K::kVideoIds24)) {
    return damaged("it lacks its listed videos or holds them twice");
  }
  const VideoIds ids = found.has(K::kVideoIds)
                           ? VideoIds(found.as<std::uint32_t>(K::kVideoIds))
                           : VideoIds(found.as<std::uint8_t>(K::kVideoIds24).data(),
                                      found.as<std::uint8_t>(K::kVideoIds24).size() / 3);
  const std::span<const std::uint32_t> counts = found.as<std::uint32_t>(K::kVideoCounts);
  if (counts.size() != ids.size()) return damaged("it lists videos and counts of unequal lengths");
  ListOffsets offsets;
  std::optional<Error> fault;
  if (blocked) {
    const std::span<const std::uint32_t> blocks = found.as<std::uint32_t>(K::kPayloadBlocks);
    const std::span<const std::uint8_t> lengths = found.as<std::uint8_t>(K::kPayloadLengths);
    if (!trusted) fault = blocks_fault(totals, blocks, lengths, ids.size());
    offsets = ListOffsets(blocks, lengths);
  } else if (found.has(K::kPayloadOffsets32)) {
    const std::span<const std::uint32_t> narrow = found.as<std::uint32_t>(K::kPayloadOffsets32);
    if (!trusted) fault = offsets_fault(totals, narrow, ids.size());
    offsets = narrow;
  } else {
    const std::span<const std::uint64_t> wide = found.as<std::uint64_t>(K::kPayloadOffsets);
    if (!trusted) fault = offsets_fault(totals, wide, ids.size());
    offsets = wide;
  }
  MarkedNodes marks;
  if (marked) {
    marks.marks = found.as<PayloadMarks>(K::kPayloadMarks);
    marks.nodes = view.child_labels.size();
    marks.node_shifts = view.node_shifts;
    marks.child_transitions = view.child_transitions;
  }
  if (!fault && !trusted)
    fault = marked ? marks_fault(marks, totals.size()) : slots_fault(slots, totals);
  if (fault) return *fault;
  for (const std::uint8_t t :
       trusted || view.is_terminal.is_packed() ? TerminalFlags() : view.is_terminal) {
    if (t > 1) return damaged("its terminal flags hold a value other than 0 and 1");
  }
  view.payloads = marked ? Payloads(marks, totals, offsets, offsets, ids, counts)
                         : Payloads(slots, totals, offsets, offsets, ids, counts);

  std::optional<StoredAids> aids;
  // The per-child entries may be left out (their check then asks that the
  // node arrays give them); the other aids are stored all or none, the
  // reversed trie packed with its ranks or, in the first layouts, wide.
  const bool packed = found.has(K::kReversedPacked);
  const bool wide = found.has(K::kReversedEntries);
  if (packed != found.has(K::kReversedRanks) || (packed && wide)) {
    return damaged("it stores its reversed trie in part or twice");
  }
  const K aid_kinds[] = {K::kPreorder, K::kByLabel, K::kReversedNodes};
  const std::size_t stored =
      static_cast<std::size_t>(std::count_if(std::begin(aid_kinds), std::end(aid_kinds),
                                             [&](K k) { return found.has(k); })) +
      (packed || wide ? 1 : 0);
  if ((stored != 0 && stored != std::size(aid_kinds) + 1) ||
      (stored == 0 && found.has(K::kPositions))) {
    return damaged("it stores some search aids but not all");
  }
  if (found.bound && (stored == 0 || found.bound->size() != view.child_labels.size() * 4)) {
    return damaged(stored == 0 ? "it stores a completion bound without the search aids"
                               : "its completion bound is not one per node");
  }
  std::size_t bytes = form.size();
  if (stored != 0) {
    StoredAids a;
    a.tree.tree = true;
    a.tree.positions = found.as<TreeAids::Position>(K::kPositions);
    a.tree.preorder = found.as<std::uint32_t>(K::kPreorder);
    a.tree.by_label = found.as<std::uint32_t>(K::kByLabel);
    a.reversed.nodes = found.as<std::uint32_t>(K::kReversedNodes);
    if (packed) {
      a.reversed.entries = found.as<ReversedTrie::Entry>(K::kReversedPacked);
      a.reversed.ranks = found.as<std::uint32_t>(K::kReversedRanks);
    } else {
      // The first layouts' 12-byte entries, packed into memory of the
      // index's own (kept with the form's owner).
      struct Converted {
        ArrayOwner form;
        std::vector<ReversedTrie::Entry> entries;
        std::vector<std::uint32_t> term_begin;
      };
      auto converted = std::make_shared<Converted>();
      const std::span<const WideReversedEntry> old =
          found.as<WideReversedEntry>(K::kReversedEntries);
      converted->entries.reserve(old.size());
      converted->term_begin.reserve(old.size());
      for (std::size_t r = 0; r < old.size(); ++r) {
        if ((old[r].label & ReversedTrie::kTerminalBit) != 0) {
          return damaged("its reversed trie has a label that is no character at node " +
                         std::to_string(r));
        }
        const bool ends = r + 1 < old.size() && old[r].term_begin < old[r + 1].term_begin;
        converted->entries.push_back(
            {old[r].first_child, old[r].label | (ends ? ReversedTrie::kTerminalBit : 0)});
        converted->term_begin.push_back(old[r].term_begin);
      }
      a.reversed.entries = converted->entries;
      a.reversed.term_begin = converted->term_begin;
      bytes += old.size() * 12;
      converted->form = std::move(owner);
      owner = std::move(converted);
    }
    if (found.bound) {
      a.bounds = {reinterpret_cast<const std::uint32_t*>(found.bound->data()),
                  found.bound->size() / 4};
    }
    aids = a;
  }
  Result<Trie> trie = Trie::borrowed(view, std::move(owner), bytes, Trust::kSound, aids, trusted);
  if (!trie.ok()) return damaged(trie.error().message);
  return trie;
}

}  // namespace tessarin::format
