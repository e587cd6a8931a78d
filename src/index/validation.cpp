#include "index/validation.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

#include "index/child_range.h"

namespace tessarin {
namespace {

// A payload whose lists differ in length, at the first node that names it.
// Slot by slot (every slot is some node's): O(slots), with a pass over the
// nodes only to name the one at fault.
std::optional<Fault> payload_fault(const IndexView& index) {
  const Payloads& payloads = index.payloads;
  for (std::size_t s = 0; s < payloads.slot_count(); ++s) {
    const PayloadView payload = payloads.slot(s);
    if (payload.video_ids.size() == payload.video_counts.size()) continue;
    std::size_t node = 0;
    while (node < payloads.size() &&
           (!payloads.present(node) || payloads.shared(node) || payloads.slot_of(node) != s)) {
      ++node;
    }
    if (node == payloads.size()) continue;  // no node's: never read
    return Fault{.kind = FaultKind::kPayloadLists,
                 .at = node,
                 .value = payload.video_ids.size(),
                 .limit = payload.video_counts.size()};
  }
  return std::nullopt;
}

// Two positions of `table` that hold one identifier, or nothing. One pass
// when the table ascends; else its positions sorted by identifier.
template <class T>
std::optional<Fault> repeat_fault(std::span<const T> table) {
  if (std::adjacent_find(table.begin(), table.end(), std::greater_equal<>()) == table.end()) {
    return std::nullopt;
  }
  std::vector<std::uint32_t> order(table.size());
  std::iota(order.begin(), order.end(), 0U);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return table[a] < table[b]; });
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (table[order[k - 1]] == table[order[k]]) {
      return Fault{.kind = FaultKind::kRepeatedVideo, .at = order[k - 1], .value = order[k]};
    }
  }
  return std::nullopt;
}

// A node that a walk from the root does not reach, or nothing. Requires a
// tree: each node is entered once, along the one entry that names it.
std::optional<Fault> unreached_node(const IndexView& index) {
  const std::size_t n = index.child_labels.size();
  std::vector<std::uint8_t> reached(n, 0);
  std::vector<std::uint32_t> stack{0};
  reached[0] = 1;
  while (!stack.empty()) {
    const ChildRange range = children_of(index, stack.back());
    stack.pop_back();
    for (std::size_t k = range.begin; k < range.end; ++k) {
      reached[index.child_transitions[k]] = 1;
      stack.push_back(index.child_transitions[k]);
    }
  }
  const auto missing = std::find(reached.begin(), reached.end(), 0);
  if (missing == reached.end()) return std::nullopt;
  return Fault{.kind = FaultKind::kUnreachable,
               .at = static_cast<std::size_t>(missing - reached.begin())};
}

// Two children of node `i` (in `range`) with one label other than 0, or
// nothing: the labels sorted in `labels` (scratch).
std::optional<Fault> repeated_label(const IndexView& index, std::size_t i, ChildRange range,
                                    std::vector<char32_t>& labels) {
  labels.clear();
  for (std::size_t k = range.begin; k < range.end; ++k) {
    labels.push_back(index.child_labels[index.child_transitions[k]]);
  }
  std::sort(labels.begin(), labels.end());
  // Nodes without a label are hidden from every walk: several may share a
  // parent. They sort first.
  const auto labelled = std::upper_bound(labels.begin(), labels.end(), char32_t{0});
  const auto twice = std::adjacent_find(labelled, labels.end());
  if (twice == labels.end()) return std::nullopt;
  return Fault{.kind = FaultKind::kSiblingLabels, .at = i, .value = *twice};
}

// The faults of the child lists, read in one pass: a node that the root
// does not reach, else two siblings with one label other than 0. Requires a
// tree.
//
// Reach needs no walk when every child has a greater index than its parent
// (the order in which builders number nodes) and the lists hold n - 1
// children: in a tree those are then all the nodes but the root, and
// following parents from any node descends to the root. Otherwise the
// root's subtree is walked. Siblings in ascending label order need no
// more; the labels of others are sorted: O(d log d) for d siblings.
std::optional<Fault> child_list_fault(const IndexView& index) {
  const std::size_t n = index.child_labels.size();
  if (n == 0) return std::nullopt;
  bool in_order = true;
  std::size_t children = 0;
  std::optional<Fault> siblings;
  std::vector<char32_t> labels;
  for (std::size_t i = 0; i < n; ++i) {
    const ChildRange range = children_of(index, i);
    bool ascending = true;
    char32_t previous = 0;
    for (std::size_t k = range.begin; k < range.end; ++k) {
      const std::uint32_t child = index.child_transitions[k];
      const char32_t label = index.child_labels[child];
      in_order &= child > i;
      ascending &= k == range.begin || previous < label;
      previous = label;
    }
    children += range.end - range.begin;
    if (!ascending && !siblings) siblings = repeated_label(index, i, range, labels);
  }
  if (!in_order || children + 1 != n) {
    if (std::optional<Fault> fault = unreached_node(index)) return fault;
  }
  return siblings;
}

// The first fault of payload `i`, entry by entry: with `inside`, a video
// position outside the table; a count above the payload's total; then a
// video of the table listed twice, found by marking each video in `marks`
// (a byte per video of the table, made on first use, all 0 between calls).
std::optional<Fault> payload_entry_fault(std::size_t i, const PayloadView& payload,
                                         std::size_t videos, bool inside,
                                         std::vector<std::uint8_t>& marks) {
  for (std::size_t k = 0; k < payload.video_ids.size(); ++k) {
    if (inside && payload.video_ids[k] >= videos) {
      return Fault{.kind = FaultKind::kVideoPosition,
                   .at = i,
                   .value = payload.video_ids[k],
                   .limit = videos};
    }
    if (payload.video_counts[k] > payload.total_count) {
      return Fault{.kind = FaultKind::kCountAboveTotal,
                   .at = i,
                   .value = payload.video_counts[k],
                   .limit = payload.total_count};
    }
  }
  if (marks.empty()) marks.assign(videos, 0);
  std::optional<Fault> twice;
  for (const std::uint32_t video : payload.video_ids) {
    if (video >= videos) continue;  // names no video
    if (marks[video] != 0) {
      twice = Fault{.kind = FaultKind::kVideoTwice, .at = i, .value = video};
      break;
    }
    marks[video] = 1;
  }
  for (const std::uint32_t video : payload.video_ids) {
    if (video < videos) marks[video] = 0;
  }
  return twice;
}

// A terminal node without a payload, or a payload that counts a video above
// its total, lists a video of the table twice or, with `inside`, lists one
// outside the table. A short list, as most are, is checked in one pass
// without branches (each pair of entries compared); only one that fails,
// or a longer one, is checked again entry by entry. A slot that several
// nodes name is checked once, for the first (slots are numbered in order of
// first use, index/payload.h). O(nodes + listed videos).
std::optional<Fault> listing_fault(const IndexView& index, std::size_t videos, bool inside) {
  constexpr std::size_t kShort = 16;
  const Payloads& payloads = index.payloads;
  std::vector<std::uint8_t> marks;
  std::size_t slots_met = 0;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    // A shared node has a payload, whose slot a node further on names.
    if (payloads.shared(i)) continue;
    const std::uint32_t slot = payloads.slot_of(i);
    if (slot == Payloads::kAbsent) {
      if (index.is_terminal[i] != 0) return Fault{.kind = FaultKind::kNoPayload, .at = i};
      continue;
    }
    if (slot < slots_met) continue;
    slots_met = std::size_t{slot} + 1;
    const PayloadView payload = payloads.slot(slot);
    const VideoIds& ids = payload.video_ids;
    if (ids.size() <= kShort) {
      bool fails = false;
      for (std::size_t a = 0; a < ids.size(); ++a) {
        fails |= payload.video_counts[a] > payload.total_count;
        fails |= inside && ids[a] >= videos;
        for (std::size_t b = 0; b < a; ++b) fails |= ids[a] == ids[b] && ids[a] < videos;
      }
      if (!fails) continue;
    }
    if (std::optional<Fault> fault = payload_entry_fault(i, payload, videos, inside, marks)) {
      return fault;
    }
  }
  return std::nullopt;
}

std::string code_point(std::uint64_t c) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04llX", static_cast<unsigned long long>(c));
  return text;
}

}  // namespace

Trust broken_level(FaultKind kind) {
  switch (kind) {
    case FaultKind::kLength:
    case FaultKind::kChild:
    case FaultKind::kChildren:
      return Trust::kInBounds;
    case FaultKind::kSharedEntry:
    case FaultKind::kRootChild:
    case FaultKind::kChildTwice:
    case FaultKind::kPayloadLists:
      return Trust::kTree;
    case FaultKind::kOtherTable:
    case FaultKind::kRepeatedVideo:
    case FaultKind::kUnreachable:
    case FaultKind::kSiblingLabels:
    case FaultKind::kNoPayload:
    case FaultKind::kCountAboveTotal:
    case FaultKind::kVideoTwice:
      return Trust::kSound;
    case FaultKind::kNoNodes:
    case FaultKind::kRootLabel:
    case FaultKind::kVideoPosition:
      return Trust::kConsistent;
  }
  return Trust::kInBounds;
}

const char* array_name(NodeArray array) {
  switch (array) {
    case NodeArray::kNodeShifts:
      return "node_shifts";
    case NodeArray::kPayloads:
      return "payloads";
    case NodeArray::kIsTerminal:
      return "is_terminal";
  }
  return "an array";
}

std::string describe(const Fault& fault) {
  const auto number = [](std::uint64_t value) { return std::to_string(value); };
  switch (fault.kind) {
    case FaultKind::kLength:
      return std::string(array_name(fault.array)) + " has " + number(fault.value) +
             " entries for " + number(fault.limit) + " nodes";
    case FaultKind::kChild:
      return "entry " + number(fault.at) + " of child_transitions names node " +
             number(fault.value) + " of " + number(fault.limit);
    case FaultKind::kChildren:
      return "the children of node " + number(fault.at) + " start at " + number(fault.value) +
             ", beyond the " + number(fault.limit) + " entries of child_transitions";
    case FaultKind::kSharedEntry:
      return "entry " + number(fault.at) +
             " of child_transitions lies in the child ranges of two nodes";
    case FaultKind::kRootChild:
      return "the root is listed as a child";
    case FaultKind::kChildTwice:
      return "node " + number(fault.at) + " is listed as a child twice";
    case FaultKind::kPayloadLists:
      return "the payload of node " + number(fault.at) + " lists " + number(fault.value) +
             " videos and " + number(fault.limit) + " counts";
    case FaultKind::kOtherTable:
      return "the video table that the id mode leaves unused has " + number(fault.value) +
             " entries";
    case FaultKind::kRepeatedVideo:
      return "video positions " + number(fault.at) + " and " + number(fault.value) +
             " hold the same identifier";
    case FaultKind::kNoNodes:
      return "the index has no nodes";
    case FaultKind::kRootLabel:
      return "the root has the label " + code_point(fault.value);
    case FaultKind::kUnreachable:
      return "node " + number(fault.at) + " is not reached from the root";
    case FaultKind::kSiblingLabels:
      return "two children of node " + number(fault.at) + " have the label " +
             code_point(fault.value);
    case FaultKind::kNoPayload:
      return "node " + number(fault.at) + " ends a term but has no payload";
    case FaultKind::kVideoPosition:
      return "the payload of node " + number(fault.at) + " lists video position " +
             number(fault.value) + " of a table of " + number(fault.limit);
    case FaultKind::kCountAboveTotal:
      return "the payload of node " + number(fault.at) + " counts " + number(fault.value) +
             " for a video, above its total of " + number(fault.limit);
    case FaultKind::kVideoTwice:
      return "the payload of node " + number(fault.at) + " lists video position " +
             number(fault.value) + " twice";
  }
  return "an unknown fault";
}

std::optional<Fault> bounds_fault(const NodeArrayLengths& lengths,
                                  const ChildEntries& child_transitions,
                                  const NodeShifts& node_shifts) {
  const std::size_t n = lengths.nodes;
  const auto length = [n](NodeArray array, std::size_t entries) {
    return Fault{.kind = FaultKind::kLength, .array = array, .value = entries, .limit = n};
  };
  if (lengths.node_shifts != n) return length(NodeArray::kNodeShifts, lengths.node_shifts);
  if (lengths.payloads != n) return length(NodeArray::kPayloads, lengths.payloads);
  if (lengths.is_terminal != n) return length(NodeArray::kIsTerminal, lengths.is_terminal);
  const std::size_t entries = child_transitions.size();
  for (std::size_t k = 0; k < entries; ++k) {
    if (child_transitions[k] >= n) {
      return Fault{.kind = FaultKind::kChild, .at = k, .value = child_transitions[k], .limit = n};
    }
  }
  for (std::size_t i = 0; i < node_shifts.size(); ++i) {
    if (node_shifts[i] > entries) {
      return Fault{
          .kind = FaultKind::kChildren, .at = i, .value = node_shifts[i], .limit = entries};
    }
  }
  return std::nullopt;
}

std::optional<Fault> tree_fault(const IndexView& index) {
  const std::size_t n = index.child_labels.size();
  const std::size_t entries = index.child_transitions.size();
  // Child ranges that start in node order (as every builder writes them)
  // are apart, and children named in ascending order, none the root, are
  // named once: then one pass, and no scratch, settles both.
  bool apart = true;
  std::uint32_t last = 0;
  for (const std::uint32_t shift : index.node_shifts) {
    apart &= last <= shift;
    last = shift;
  }
  bool ascending = entries == 0 || index.child_transitions[0] != 0;
  if (!index.child_transitions.is_identity()) {
    for (std::size_t k = 1; k < entries; ++k) {
      ascending &= index.child_transitions[k - 1] < index.child_transitions[k];
    }
  }
  if (apart && ascending) return std::nullopt;
  // Each entry in at most one node's child range.
  std::vector<std::uint8_t> covered(entries, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const ChildRange range = children_of(index, i);
    for (std::size_t k = range.begin; k < range.end; ++k) {
      if (covered[k] != 0) return Fault{.kind = FaultKind::kSharedEntry, .at = k};
      covered[k] = 1;
    }
  }
  // Each node but the root named at most once, the root never.
  std::vector<std::uint8_t> named(n, 0);
  for (const std::uint32_t child : index.child_transitions) {
    if (child == 0) return Fault{.kind = FaultKind::kRootChild};
    if (named[child] != 0) return Fault{.kind = FaultKind::kChildTwice, .at = child};
    named[child] = 1;
  }
  return std::nullopt;
}

std::optional<Fault> find_fault(const IndexView& index, Trust level) {
  if (level == Trust::kNone) return std::nullopt;
  const NodeArrayLengths lengths{index.child_labels.size(), index.node_shifts.size(),
                                 index.payloads.size(), index.is_terminal.size()};
  if (std::optional<Fault> fault =
          bounds_fault(lengths, index.child_transitions, index.node_shifts)) {
    return fault;
  }
  if (level == Trust::kInBounds) return std::nullopt;
  if (std::optional<Fault> fault = tree_fault(index)) return fault;
  if (std::optional<Fault> fault = payload_fault(index)) return fault;
  if (level == Trust::kTree) return std::nullopt;
  return consistency_fault(index, level);
}

std::optional<Fault> consistency_fault(const IndexView& index, Trust level) {
  const bool ints = index.id_mode == IdMode::Int32;
  const bool layout = level >= Trust::kConsistent;
  const std::size_t unused = ints ? index.video_uuids.size() : index.video_int_ids.size();
  if (unused != 0) return Fault{.kind = FaultKind::kOtherTable, .value = unused};
  if (std::optional<Fault> fault =
          ints ? repeat_fault(index.video_int_ids) : repeat_fault(index.video_uuids)) {
    return fault;
  }
  if (std::optional<Fault> fault = child_list_fault(index)) return fault;
  const std::size_t videos = ints ? index.video_int_ids.size() : index.video_uuids.size();
  if (std::optional<Fault> fault = listing_fault(index, videos, layout)) return fault;
  if (!layout) return std::nullopt;
  if (index.child_labels.empty()) return Fault{.kind = FaultKind::kNoNodes};
  if (index.child_labels[0] != 0) {
    return Fault{.kind = FaultKind::kRootLabel, .value = index.child_labels[0]};
  }
  return std::nullopt;
}

}  // namespace tessarin
