// The mapped form of an index: its arrays in the layout the engine walks,
// so that an index file is used in place (mapped, or read into memory once)
// with no decoding: fixed-width little-endian arrays, each a section of the
// table of format/sections.h (64-byte aligned, with its CRC-32C), and the
// search aids that would otherwise be derived on first use stored beside
// them. What the index file wraps around it (magic, version, metadata) is
// the package's (python/tessarin/storage/container.py).
//
// Sections by kind (element sizes in bytes; n nodes, e child entries, s
// payload slots, V listed videos, r reversed trie nodes, t terms):
//
//   1  scalars            16 bytes: u32 id mode (0 UUID, 1 integer), 12 zero bytes
//   2  node_shifts        u32 [n]
//   27 shift_groups       64  [n/30, rounded up]  ShiftGroup (index/node_shifts.h):
//                                    per 30 nodes a u32 base and 30 u16 offsets,
//                                    node i's shift the sum (mod 2^32); offsets past
//                                    node n - 1 zero; written in place of 2 when in
//                                    every group the shifts lie within 65535 of the
//                                    least (a form holds 2 or 27)
//   3  child_labels       u32 [n]    code points
//   26 child_labels16     u16 [n]    the same, 2 bytes each: written in place of 3
//                                    when every label is below 0x10000 (a form holds
//                                    3 or 26)
//   4  child_transitions  u32 [e]    left out where entry p names node p + 1 for
//                                    every p (and n > 0): then e = n - 1
//   5  is_terminal        u8  [n]    0 or 1
//   25 terminal_bits      u8  [n/8, rounded up]  the same, bit i % 8 of byte i / 8;
//                                    bits past node n - 1 zero; written in place of 5
//   6  payload_slots      u32 [n]    the slot of each node's payload, or 2^32 - 1
//                                    for none; slots numbered in order of first use
//   23 payload_marks      12  [n/32, rounded up]  PayloadMarks (index/payload.h):
//                                    per 32 nodes, those with a payload of their own
//                                    (slots in node order), those that share their
//                                    only child's (a chain node), and the own ones
//                                    before; written in place of 6 when every chain
//                                    node's child lies above it (a form holds 6 or 23)
//   7  payload_totals     u32 [s]
//   8  payload_offsets    u64 [s+1]  where each slot's videos and counts start;
//                                    0 first, rising, V last
//   18 payload_offsets32  u32 [s+1]  the same, 32-bit: written in place of 8
//                                    when V < 2^32 and a list is longer than 255
//   21 payload_lengths    u8  [s]    each slot's list length, and
//   22 payload_blocks     u32 [s/8+1] where the lists of slots 8b on start: the
//                                    offsets blocked (index/payload.h: ListOffsets),
//                                    written in place of 8 when every list holds at
//                                    most 255 videos and V < 2^32; a form holds 8,
//                                    18, or 21 with 22
//   9  video_ids          u32 [V]    positions in the video table
//   24 video_ids24        3   [V]    the same, 3 bytes each, little-endian: written
//                                    in place of 9 when every position is below 2^24
//   10 video_counts       u32 [V]
//   11 video_uuids        16  [u]
//   12 video_int_ids      u32 [v]
//   13 positions          12  [e]    TreeAids::Position (search/search_aids.h)
//   14 preorder           u32 [n]
//   15 by_label           u32 [e or 0]
//   19 reversed_entries   8   [r+1]  ReversedTrie::Entry: first child, label with
//                                    bit 31 set where a term ends
//   20 reversed_ranks     u32 [(r+1)/8, rounded up]  terminal entries before
//                                    each block of 8 (ReversedTrie::ranks)
//   16 reversed_entries12 12  [r+1]  the first layouts': first child, label, first
//                                    term (read, converted into memory; never written)
//   17 reversed_nodes     u32 [t]
//   0x80000001 completion_bound  u32 [n]  search/subtree_bounds.h
//
// Kinds 1 to 12 (18, or 21 with 22, for 8; 23 for 6; 24 for 9; 25 for 5; 26 for 3; 27 for 2),
// but 4, are required; 13 to 17, 19 and 20
// are the stored aids, all or none (19 and 20 together, or 16 in a file of an earlier layout), but
// for 13, left out where child entry p names node p + 1 for every p (the walk reads node p + 1's
// arrays instead: search/views.h) (none for an index whose aids do not apply: no nodes, or 2^31
// child entries or more). A kind with bit 31 set is optional: a reader that does not know it skips
// it. The completion bound is optional so (files written before it was stored lack it, and their
// readers derive it; earlier readers skip it) and is written with the other aids, never without
// them. Adding a stored aid is a kind here, a line in the writer's list and in the reader's switch,
// and its check beside the others in search/search_aids.cpp. Any other kind is refused.
//
// The writer stores each payload once: a node that keeps exactly its only
// child's payload (a chain node, most of a trie's nodes) shares the child's
// slot, marked as such (kind 23) or, where a chain node's child lies below
// it, naming the slot (kind 6). Sections are ordered for a query: the walk's aids first, then the
// node arrays, the payloads and the video tables.
//
// Reading checks, before any query: the table of sections (and each
// section's checksum when `verify`), the lengths and the payload layout
// above, the arrays up to Trust::kSound (index/validation.h) and the stored
// aids against the arrays (search/search_aids.h: stored_aids_fault; the
// completion bound by one pass of local equations, exact, with no scratch:
// search/subtree_bounds.h). A form
// that passes is walked in place with plain reads; nothing in it is read
// unchecked. Errors are kDamaged, in plain words.
//
// Requires a little-endian machine, and a form whose first byte lies at an
// address that is a multiple of 8 (its sections then lie at multiples of 8
// too); the reader refuses others (kValue).
//
// Cost: writing, O(size of the form) plus deriving the aids if the index has
// not yet; reading, the checksums (one pass at the checksum's speed), then
// O(n + e + V + u + v + r + t) for the checks, and scratch of about 30
// bytes per node for the aids' check. Thread safety: pure functions; the
// trie read by the writer may be queried meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "format/sections.h"
#include "index/trie.h"
#include "search/search_aids.h"
#include "util/result.h"

namespace tessarin::format {

enum class SectionKind : std::uint32_t {
  kScalars = 1,
  kNodeShifts = 2,
  kChildLabels = 3,
  kChildTransitions = 4,
  kIsTerminal = 5,
  kPayloadSlots = 6,
  kPayloadTotals = 7,
  kPayloadOffsets = 8,
  kVideoIds = 9,
  kVideoCounts = 10,
  kVideoUuids = 11,
  kVideoIntIds = 12,
  kPositions = 13,
  kPreorder = 14,
  kByLabel = 15,
  kReversedEntries = 16,
  kReversedNodes = 17,
  kPayloadOffsets32 = 18,
  kReversedPacked = 19,
  kReversedRanks = 20,
  kPayloadLengths = 21,
  kPayloadBlocks = 22,
  kPayloadMarks = 23,
  kVideoIds24 = 24,
  kTerminalBits = 25,
  kChildLabels16 = 26,
  kShiftGroups = 27,
  kCompletionBound = 0x80000001u,  // reserved, optional
};

inline constexpr std::uint32_t kOptionalKind = 0x80000000u;

// What writing needs, measured once: the layout of the sections and the
// payload slots. Reads `trie`, which must outlive it.
struct MappedPlan {
  const Trie* trie = nullptr;
  bool aids = false;
  TreeAids tree;
  ReversedTrie reversed;
  std::vector<std::uint32_t> reversed_ranks;
  std::span<const std::uint32_t> bounds;  // the completion bound, with the aids
  std::vector<std::uint32_t> slots;       // per node
  std::vector<PayloadMarks> marks;        // per 32 nodes, when marked
  bool marked = false;                    // written as marks (kind 23), not slots
  bool narrow_ids = false;                // video positions written 3 bytes wide (kind 24)
  bool narrow_labels = false;             // child labels written 2 bytes wide (kind 26)
  std::vector<ShiftGroup> shift_groups;   // the node shifts grouped (kind 27), or empty
  std::vector<std::uint32_t> slot_nodes;  // per slot: a node whose payload it holds
  std::vector<std::uint64_t> offsets;     // per slot, and one more
  bool narrow_offsets = false;            // written 32-bit (kind 18)
  bool blocked_offsets = false;           // written blocked (kinds 21, 22)
  SectionPlan sections;

  [[nodiscard]] std::size_t size() const { return sections.form_size; }
};

// The plan of `trie`'s mapped form. Fails (kEncode) for an index that does
// not reach Trust::kSound, or too large for 32-bit slots.
[[nodiscard]] Result<MappedPlan> plan_mapped(const Trie& trie);

// Writes the form into `out`, exactly plan.size() bytes.
Status write_mapped(MappedPlan& plan, std::span<std::uint8_t> out);

// The mapped form of `trie` in a new buffer (tests, tools).
[[nodiscard]] Result<std::vector<std::uint8_t>> mapped_to_vec(const Trie& trie);

// The index a form holds, reading it in place: `owner` keeps `form` alive
// and unchanged for as long as the index (or a copy) lives. `trusted`: these
// very bytes passed this read's checks before (in another process, say) and
// cannot have changed since; only the table of sections is read, and no
// checksum, structure or stored aid is checked again.
[[nodiscard]] Result<Trie> read_mapped(std::span<const std::uint8_t> form, ArrayOwner owner,
                                       bool verify, bool trusted = false);

}  // namespace tessarin::format
