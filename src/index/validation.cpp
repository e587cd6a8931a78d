#include "index/validation.h"

#include <vector>

#include "index/child_range.h"

namespace tessarin {
namespace {

// The children of `node` as the walk reads them: node_shifts[node] up to the
// next entry, or to the end of child_transitions for the last node; empty
// when the end is not above the start. Requires the bounds level.
ChildRange children_of(const IndexView& index, std::size_t node) {
  const std::size_t begin = index.node_shifts[node];
  const std::size_t end = node + 1 < index.node_shifts.size() ? index.node_shifts[node + 1]
                                                              : index.child_transitions.size();
  return end > begin ? ChildRange{begin, end} : ChildRange{begin, begin};
}

std::optional<Fault> payload_fault(const IndexView& index) {
  const PayloadTable& payloads = *index.payloads;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if (!payloads.present(i)) continue;
    const PayloadView payload = payloads.view(i);
    if (payload.video_ids.size() != payload.video_counts.size()) {
      return Fault{.kind = FaultKind::kPayloadLists,
                   .at = i,
                   .value = payload.video_ids.size(),
                   .limit = payload.video_counts.size()};
    }
  }
  return std::nullopt;
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
  }
  return "an unknown fault";
}

std::optional<Fault> bounds_fault(const NodeArrayLengths& lengths,
                                  std::span<const std::uint32_t> child_transitions,
                                  std::span<const std::uint32_t> node_shifts) {
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
                                 index.payloads->size(), index.is_terminal.size()};
  if (std::optional<Fault> fault =
          bounds_fault(lengths, index.child_transitions, index.node_shifts)) {
    return fault;
  }
  if (level == Trust::kInBounds) return std::nullopt;
  if (std::optional<Fault> fault = tree_fault(index)) return fault;
  return payload_fault(index);
}

}  // namespace tessarin
