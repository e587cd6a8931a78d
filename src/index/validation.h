// The structure validation of an index: how far its arrays hold together.
//
// Validation reads an index's arrays through views (IndexView), whoever
// owns them, and checks them level by level, each level assuming the ones
// before it:
//
//   Trust::kInBounds  every read a walk can make lies inside its array:
//                     node_shifts, payloads and is_terminal have one entry
//                     per node (child_labels' length is the node count),
//                     every child_transitions entry names a node, and every
//                     node_shifts entry is at most the length of
//                     child_transitions (entries that fall are allowed:
//                     their ranges are empty);
//   Trust::kTree      the child lists form a tree below the root: no entry
//                     names the root, no node is named twice, and no entry
//                     lies in the child ranges of two nodes (node_shifts may
//                     fall, which can make ranges overlap); and every present
//                     payload lists as many counts as videos;
//   Trust::kSound     nothing contradicts what the index answers: the
//                     video table not in use is empty and no identifier
//                     repeats in the other; every node is reached from the
//                     root; no two siblings share a label other than 0 (a
//                     node without a label is hidden from every walk); every
//                     terminal node has a payload; and no payload lists a
//                     video of the table twice or counts a video above its
//                     total;
//   Trust::kConsistent and the index is laid out as the record builder
//                     lays it out: there is a root, without a label, and
//                     every listed video lies inside the table.
//
// An index that reaches kTree is walked with plain reads, its walks examine
// each child entry at most once, and the ranking, suggestions and node
// reports read nothing outside an array. One that reaches kSound answers
// within the documented bounds: every score at most 1 (a video's count in a
// payload is at most its total, once per payload), no video, term or node
// twice in a result, every term counted reachable. What kConsistent adds
// changes no answer: a root label is never read, an index without nodes
// answers nothing, and a video position outside the table names no video
// and is left out. The record builder's indexes reach kConsistent; indexes
// built from caller's arrays may reach only kSound, or less.
//
// find_fault() returns the first fault below the level asked for that the
// checks meet, in the order listed above (but one pass over the payloads
// checks them for kSound and for kConsistent alike), as a Fault: its kind
// and the numbers that word it (describe()). A Trie records the level its
// factory established (index/trie.h), so a reader never checks again what
// that level says.
//
// Cost: O(nodes + child entries + listed videos + videos) time, each array
// read in order once or twice. kTree takes one byte of scratch per node and
// per child entry. kSound takes no more when every child has a greater
// index than its parent (as builders number nodes) and every payload lists
// at most 16 videos; else up to 5 bytes per node (a walk from the root) and
// one byte per video of the table. Sibling labels and video identifiers are
// checked in one pass when in ascending order (as the record builder lays
// them out), else sorted: O(d log d) for d siblings, O(v log v) for v
// videos. Thread safety: reads its views only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "index/child_entries.h"
#include "index/child_labels.h"
#include "index/child_range.h"
#include "index/node_shifts.h"
#include "index/payload.h"
#include "index/terminal_flags.h"
#include "index/video_ids.h"

namespace tessarin {

// How far an index is known to hold together; each level includes those
// below it.
enum class Trust : std::uint8_t {
  kNone = 0,        // nothing: every read goes through the checked accessors
  kInBounds = 1,    // every read a walk can make lies inside its array
  kTree = 2,        // and the child lists form a tree; payload lists agree
  kSound = 3,       // and nothing contradicts what the index answers
  kConsistent = 4,  // and it is laid out as the record builder lays it out
};

// What breaks a level, with the numbers of the message that describe()
// writes (`at`, `value` and `limit` as each kind says).
enum class FaultKind : std::uint8_t {
  // Below kInBounds.
  kLength,    // `array` has `value` entries for `limit` nodes
  kChild,     // entry `at` of child_transitions names node `value` of `limit`
  kChildren,  // the children of node `at` start at `value`, beyond `limit` entries
  // Below kTree.
  kSharedEntry,   // entry `at` of child_transitions lies in two nodes' ranges
  kRootChild,     // the root is listed as a child
  kChildTwice,    // node `at` is listed as a child twice
  kPayloadLists,  // the payload of node `at` lists `value` videos, `limit` counts
  // Below kSound.
  kOtherTable,       // the table the id mode leaves unused has `value` entries
  kRepeatedVideo,    // video positions `at` and `value` hold one identifier
  kUnreachable,      // node `at` is not reached from the root
  kSiblingLabels,    // two children of node `at` have the label `value`
  kNoPayload,        // node `at` ends a term but has no payload
  kCountAboveTotal,  // the payload of node `at` counts `value`, above its total `limit`
  kVideoTwice,       // the payload of node `at` lists video position `value` twice
  // Below kConsistent.
  kNoNodes,        // the index has no nodes
  kRootLabel,      // the root has the label `value`
  kVideoPosition,  // the payload of node `at` lists position `value` of `limit` videos
};

// The per-node arrays whose length a kLength fault names.
enum class NodeArray : std::uint8_t { kNodeShifts, kPayloads, kIsTerminal };

struct Fault {
  FaultKind kind = FaultKind::kLength;
  NodeArray array = NodeArray::kNodeShifts;  // kLength only
  std::size_t at = 0;
  std::uint64_t value = 0;
  std::uint64_t limit = 0;
};

// The level a fault of this kind breaks.
Trust broken_level(FaultKind kind);

// The array's name as messages spell it ("node_shifts", ...).
const char* array_name(NodeArray array);

// The fault in a sentence without a capital or a full stop, e.g. "entry 3
// of child_transitions names node 9 of 4".
std::string describe(const Fault& fault);

// Views over an index's arrays, owned elsewhere (TrieArrays, a Trie's
// owner, a mapped file).
struct IndexView {
  NodeShifts node_shifts;
  ChildLabels child_labels;
  ChildEntries child_transitions;
  TerminalFlags is_terminal;
  Payloads payloads;
  std::span<const Uuid> video_uuids;
  std::span<const std::uint32_t> video_int_ids;
  IdMode id_mode = IdMode::Uuid;
};

// The children of `node` as the walk reads them: node_shifts[node] up to the
// next entry, or to the end of child_transitions for the last node; empty
// when the end is not above the start. Requires the bounds level.
inline ChildRange children_of(const IndexView& index, std::size_t node) {
  const std::size_t begin = index.node_shifts[node];
  const std::size_t end = node + 1 < index.node_shifts.size() ? index.node_shifts[node + 1]
                                                              : index.child_transitions.size();
  return end > begin ? ChildRange{begin, end} : ChildRange{begin, begin};
}

// The lengths that the bounds level compares with the node count.
struct NodeArrayLengths {
  std::size_t nodes = 0;
  std::size_t node_shifts = 0;
  std::size_t payloads = 0;
  std::size_t is_terminal = 0;
};

// The checks of kInBounds alone, on lengths and the two arrays they read
// (building runs them before the payloads exist as a table).
std::optional<Fault> bounds_fault(const NodeArrayLengths& lengths,
                                  const ChildEntries& child_transitions,
                                  const NodeShifts& node_shifts);

// The tree checks of kTree alone (no payload lists); requires kInBounds.
std::optional<Fault> tree_fault(const IndexView& index);

// The checks above kTree up to `level` (kSound or kConsistent); requires
// kTree.
std::optional<Fault> consistency_fault(const IndexView& index, Trust level);

// The first fault below `level`, in the order of the checks above, or
// nothing when the arrays reach it.
std::optional<Fault> find_fault(const IndexView& index, Trust level);

}  // namespace tessarin
