// Payloads: how often each video was reached through a node.
//
// A payload is a total count and two parallel lists: video positions (into
// the index's video table) and their counts. An index holds one optional
// payload per node, stored flat: per node a slot (the payload it has, or
// kAbsent), per slot a total and an offset into each list, and all video
// positions of all slots in one array, all counts in another. Several nodes
// may name one slot (an index file stores a chain of nodes that keep equal
// lists once). An index file may instead mark its nodes (PayloadMarks): a
// node that shares its only child's payload (a chain node) names no slot and
// is read through its child; every other node with a payload has the next
// slot in node order. No heap allocation per payload.
//
// Payloads is the read-only face of that layout, spans over memory owned
// elsewhere (a PayloadTable, or a mapped index file: format/mapped_form.h);
// PayloadTable owns vectors and grows, one payload per node, each in a slot
// of its own. Invariants of the layout, which whoever makes a Payloads
// guarantees (PayloadTable by its own methods; the mapped form's reader by
// its checks): every slot named is below the slot count, offsets rise, the
// last offset of each list is at most that list's length. Not guaranteed,
// and not checked here: that a payload's two lists have equal lengths (a
// restored index may break it; building does not), or that video positions
// lie inside any video table.
//
// Cost: 4 bytes per node (its slot; in a marked index file 3/8) and 4
// (total) + 16 (offsets) per slot (in an index file 4 + 1.5: one blocked
// offset for both lists), plus 8 (in an index file with positions below
// 2^24, 7)
// bytes per listed video. Thread safety: const methods may be called
// concurrently.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "index/child_entries.h"
#include "index/node_shifts.h"
#include "index/video_accumulator.h"
#include "util/bit_count.h"
#include "util/indexed_iterator.h"

namespace tessarin {

// Video positions, read-only: 4 bytes each, or 3 (an index file's, when
// every position listed is below 2^24), little-endian, read a byte at a time
// where 3 wide (so that the last one reads nothing past the list).
class VideoIds {
 public:
  using iterator = IndexedIterator<VideoIds, std::uint32_t>;

  VideoIds() = default;
  VideoIds(std::span<const std::uint32_t> wide)  // NOLINT(google-explicit-constructor)
      : data_(reinterpret_cast<const std::uint8_t*>(wide.data())), size_(wide.size()), width_(4) {}
  VideoIds(const std::vector<std::uint32_t>& wide)  // NOLINT(google-explicit-constructor)
      : VideoIds(std::span<const std::uint32_t>(wide)) {}
  // `size` positions of 3 bytes from `narrow`.
  VideoIds(const std::uint8_t* narrow, std::size_t size) : data_(narrow), size_(size), width_(3) {}

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] std::size_t width() const { return width_; }
  [[nodiscard]] std::uint32_t operator[](std::size_t k) const { return read(data_, width_, k); }
  [[nodiscard]] iterator begin() const { return {*this, 0}; }
  [[nodiscard]] iterator end() const { return {*this, size_}; }
  // The bytes that hold the positions.
  [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data_, size_ * width_}; }
  // Positions begin to end (begin <= end <= size()).
  [[nodiscard]] VideoIds subrange(std::size_t begin, std::size_t end) const {
    VideoIds part = *this;
    part.data_ += begin * width_;
    part.size_ = end - begin;
    return part;
  }
  // Appends the first `count` (at most size()) to `out`.
  void append_to(std::vector<std::uint32_t>& out, std::size_t count) const {
    if (width_ == 4) {
      const std::size_t at = out.size();
      out.resize(at + count);
      if (count != 0) std::memcpy(out.data() + at, data_, count * 4);
      return;
    }
    for (std::size_t k = 0; k < count; ++k) out.push_back((*this)[k]);
  }
  void append_to(std::vector<std::uint32_t>& out) const { append_to(out, size_); }
  static std::uint32_t read(const std::uint8_t* data, std::size_t width, std::size_t k) {
    const std::uint8_t* at = data + k * width;
    std::uint32_t v = 0;
    if (width == 4) {
      std::memcpy(&v, at, 4);
    } else {
      v = std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16;
    }
    return v;
  }
  friend bool operator==(const VideoIds& a, const VideoIds& b) {
    if (a.size_ != b.size_) return false;
    for (std::size_t k = 0; k < a.size_; ++k) {
      if (a[k] != b[k]) return false;
    }
    return true;
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t width_ = 4;
};

// A read-only look at one payload; valid while its table lives unchanged.
struct PayloadView {
  std::uint32_t total_count = 0;
  VideoIds video_ids;
  std::span<const std::uint32_t> video_counts;
};

// Where each slot's list starts in a list array, and one more entry: 64-bit
// entries, 32-bit ones (an index file whose lists are shorter than 2^32),
// or blocked (an index file whose lists each hold at most 255 videos): a
// byte per slot, its list's length, and per block of kBlock slots where
// the block's first list starts, one more block counting the end (1.5
// bytes per slot; a lookup adds at most kBlock - 1 lengths of one cache
// line).
class ListOffsets {
 public:
  static constexpr std::size_t kBlock = 8;

  ListOffsets() = default;
  ListOffsets(std::span<const std::uint64_t> wide)
      : wide_(wide) {}  // NOLINT(google-explicit-constructor)
  ListOffsets(std::span<const std::uint32_t> narrow)
      : narrow_(narrow) {}  // NOLINT(google-explicit-constructor)
  // blocks.size() == lengths.size() / kBlock + 1.
  ListOffsets(std::span<const std::uint32_t> blocks, std::span<const std::uint8_t> lengths)
      : blocks_(blocks), lengths_(lengths.data()) {}
  [[nodiscard]] std::size_t operator[](std::size_t s) const {
    if (!narrow_.empty()) return narrow_[s];
    if (!blocks_.empty()) {
      std::size_t at = blocks_[s / kBlock];
      for (std::size_t q = s - s % kBlock; q < s; ++q) at += lengths_[q];
      return at;
    }
    return static_cast<std::size_t>(wide_[s]);
  }
  // The bytes it reads, for offsets of `payloads` payloads: the offsets, or
  // the blocks and the lengths.
  [[nodiscard]] std::array<std::span<const std::uint8_t>, 2> bytes(std::size_t payloads) const {
    if (!blocks_.empty()) return {bytes_of(blocks_), {lengths_, payloads}};
    return {narrow_.empty() ? bytes_of(wide_) : bytes_of(narrow_), {}};
  }

 private:
  template <class T>
  static std::span<const std::uint8_t> bytes_of(std::span<const T> values) {
    return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
  }

  std::span<const std::uint64_t> wide_;
  std::span<const std::uint32_t> narrow_;
  std::span<const std::uint32_t> blocks_;
  const std::uint8_t* lengths_ = nullptr;
};

// The payload marks of 32 nodes, 32w to 32w + 31 (bit k for node 32w + k):
// `own`, the nodes with a slot of their own; `shared`, the nodes that share
// their only child's payload, which lies above them; `before`, the own bits
// of the words before this one, which is the slot of this word's first own
// node (slots follow node order). A node in neither has no payload.
struct PayloadMarks {
  std::uint32_t own;
  std::uint32_t shared;
  std::uint32_t before;
};

// Whose payloads marks describe: the marks, one per 32 nodes, and the
// arrays that lead from a shared node to its child. Whoever makes one
// guarantees that a shared node has exactly one child, numbered above it,
// which has a payload, that no more than kMaxShared shared nodes follow one
// another (so that finding a payload reads at most that many children), and
// that `before` counts right.
struct MarkedNodes {
  static constexpr std::size_t kMaxShared = 255;

  std::span<const PayloadMarks> marks;
  std::size_t nodes = 0;
  NodeShifts node_shifts;
  ChildEntries child_transitions;
};

// The payloads of an index, read-only: views over its slots and lists.
class Payloads {
 public:
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

  Payloads() = default;
  Payloads(std::span<const std::uint32_t> slots, std::span<const std::uint32_t> totals,
           ListOffsets id_offsets, ListOffsets count_offsets, VideoIds video_ids,
           std::span<const std::uint32_t> video_counts)
      : slots_(slots),
        totals_(totals),
        id_offsets_(id_offsets),
        count_offsets_(count_offsets),
        video_ids_(video_ids),
        video_counts_(video_counts),
        nodes_(slots.size()) {}
  // Marked: no slot per node (a chain of shared nodes is followed to its end).
  Payloads(const MarkedNodes& marked, std::span<const std::uint32_t> totals, ListOffsets id_offsets,
           ListOffsets count_offsets, VideoIds video_ids,
           std::span<const std::uint32_t> video_counts)
      : Payloads(std::span<const std::uint32_t>(), totals, id_offsets, count_offsets, video_ids,
                 video_counts) {
    marks_ = marked.marks;
    nodes_ = marked.nodes;
    node_shifts_ = marked.node_shifts;
    child_transitions_ = marked.child_transitions;
  }

  // Entries, one per node.
  [[nodiscard]] std::size_t size() const { return nodes_; }
  [[nodiscard]] bool present(std::size_t i) const {
    if (marks_.empty()) return slots_[i] != kAbsent;
    const PayloadMarks& m = marks_[i / 32];
    return (((m.own | m.shared) >> (i % 32)) & 1U) != 0;
  }
  // Whether node i shares its only child's payload (a marked index's chain
  // node, which no slot names: its payload is read, and checked, where the
  // chain ends).
  [[nodiscard]] bool shared(std::size_t i) const {
    return !marks_.empty() && ((marks_[i / 32].shared >> (i % 32)) & 1U) != 0;
  }
  // The slot of node i's payload (a shared node's, its chain's end's), or
  // kAbsent; i < size(). Slots are numbered in order of first use, by all
  // nodes, or, when marked, by the nodes that are not shared.
  [[nodiscard]] std::uint32_t slot_of(std::size_t i) const {
    if (marks_.empty()) return slots_[i];
    while (shared(i)) i = child_transitions_[node_shifts_[i]];
    const PayloadMarks& m = marks_[i / 32];
    const std::uint32_t below = m.own & ((std::uint32_t{1} << (i % 32)) - 1);
    return ((m.own >> (i % 32)) & 1U) == 0
               ? kAbsent
               : m.before + static_cast<std::uint32_t>(bit_count(below));
  }
  // Asks for the memory that slot_of(i) reads first.
  void prefetch_slot(std::size_t i) const {
    if (marks_.empty()) {
      __builtin_prefetch(slots_.data() + i);
    } else {
      __builtin_prefetch(marks_.data() + i / 32);
    }
  }
  // The payload at i; it must exist (i < size()) and be present.
  [[nodiscard]] PayloadView view(std::size_t i) const { return slot(slot_of(i)); }
  // The payload at i, checked: an InternalFailure when i is outside the table,
  // nothing when the entry is absent.
  [[nodiscard]] std::optional<PayloadView> get(std::size_t i) const;

  // The payload in slot s (s < slot_count()).
  [[nodiscard]] PayloadView slot(std::size_t s) const {
    return {
        totals_[s],
        video_ids_.subrange(id_offsets_[s], id_offsets_[s + 1]),
        {video_counts_.data() + count_offsets_[s], video_counts_.data() + count_offsets_[s + 1]}};
  }
  [[nodiscard]] std::size_t slot_count() const { return totals_.size(); }
  // Each node's slot, when not marked (else empty).
  [[nodiscard]] std::span<const std::uint32_t> slots() const { return slots_; }
  [[nodiscard]] std::span<const PayloadMarks> marks() const { return marks_; }
  [[nodiscard]] std::span<const std::uint32_t> totals() const { return totals_; }
  [[nodiscard]] const ListOffsets& id_offsets() const { return id_offsets_; }
  [[nodiscard]] const ListOffsets& count_offsets() const { return count_offsets_; }
  [[nodiscard]] const VideoIds& video_ids() const { return video_ids_; }
  [[nodiscard]] std::span<const std::uint32_t> video_counts() const { return video_counts_; }

  [[nodiscard]] std::size_t total_video_ids() const { return video_ids_.size(); }
  [[nodiscard]] std::size_t total_video_counts() const { return video_counts_.size(); }

 private:
  std::span<const std::uint32_t> slots_;
  std::span<const std::uint32_t> totals_;
  ListOffsets id_offsets_;     // slot_count() + 1 entries
  ListOffsets count_offsets_;  // slot_count() + 1 entries
  VideoIds video_ids_;
  std::span<const std::uint32_t> video_counts_;
  std::size_t nodes_ = 0;
  std::span<const PayloadMarks> marks_;  // when marked, in place of slots_
  NodeShifts node_shifts_;
  ChildEntries child_transitions_;
};

// Payloads in vectors of their own, one slot per present entry, appended
// entry by entry (building, decoding).
class PayloadTable {
 public:
  [[nodiscard]] Payloads view() const {
    return {slots_,
            totals_,
            ListOffsets(std::span<const std::uint64_t>(id_offsets_)),
            ListOffsets(std::span<const std::uint64_t>(count_offsets_)),
            std::span<const std::uint32_t>(video_ids_),
            video_counts_};
  }
  [[nodiscard]] std::size_t size() const { return slots_.size(); }
  [[nodiscard]] bool present(std::size_t i) const { return slots_[i] != Payloads::kAbsent; }
  // The payload at i; it must exist (i < size()) and be present.
  [[nodiscard]] PayloadView view(std::size_t i) const { return view().view(i); }

  void reserve(std::size_t payloads, std::size_t videos);
  void push_absent();
  void push(std::uint32_t total_count, const VideoIds& video_ids,
            std::span<const std::uint32_t> video_counts);
  // Appending one payload piece by piece (the decoder reads lists item by
  // item): push_present(), then any number of append_* calls for it.
  void push_present(std::uint32_t total_count);
  void append_video_id(std::uint32_t video) {
    video_ids_.push_back(video);
    id_offsets_.back() = video_ids_.size();
  }
  void append_video_count(std::uint32_t count) {
    video_counts_.push_back(count);
    count_offsets_.back() = video_counts_.size();
  }
  [[nodiscard]] std::size_t total_video_ids() const { return video_ids_.size(); }
  [[nodiscard]] std::size_t total_video_counts() const { return video_counts_.size(); }
  // Heap bytes held by the table.
  [[nodiscard]] std::size_t memory_bytes() const;

 private:
  std::vector<std::uint32_t> slots_;
  std::vector<std::uint32_t> totals_;
  std::vector<std::uint64_t> id_offsets_{0};     // one more entry than slots
  std::vector<std::uint64_t> count_offsets_{0};  // one more entry than slots
  std::vector<std::uint32_t> video_ids_;
  std::vector<std::uint32_t> video_counts_;
};

// A video and the exact sum of its counts, before it is stored.
using VideoSum = VideoAccumulator<std::uint64_t>::Entry;

// The payload order, the one order in which every list that sums counts is
// stored (a term's own list as the record builder makes it, every merged
// list): the highest sum first, equal sums by ascending video position,
// decided on the exact sums; each count is then stored saturated at
// 2^32 - 1, so a stored list always descends. Appends the first `top_n`
// entries of `sums` (videos distinct) in that order to ids and counts;
// reorders `sums`. O(d + t log t) for d entries and t = min(d, top_n).
void append_in_payload_order(std::vector<VideoSum>& sums, std::size_t top_n,
                             std::vector<std::uint32_t>& ids, std::vector<std::uint32_t>& counts);

// Merges payloads into one, as propagation needs it (index/propagation.h).
//
// start() takes the receiver's own payload; each merge_from() adds one more:
// the totals add up, saturating at 2^32 - 1, and the counts of each video add
// up, in 64 bits, over all lists merged so far. finish() writes the merged
// list in payload order (above), cut to the first `top_n`. Sorting once
// after the last merge gives the list that sorting after every merge would
// give, since nothing is cut in between and the order depends on the sums
// alone.
//
// Cost: O(k) to merge k entries, O(d + t log t) to finish with d distinct
// videos and t = min(d, top_n).
class PayloadMerger {
 public:
  void start(const PayloadView& own);
  void merge_from(const PayloadView& other);
  [[nodiscard]] std::uint32_t total_count() const { return total_; }
  // Appends the merged list, in payload order and cut, to ids and counts.
  void finish(std::size_t top_n, std::vector<std::uint32_t>& ids,
              std::vector<std::uint32_t>& counts) {
    append_in_payload_order(sums_.entries(), top_n, ids, counts);
  }

 private:
  std::uint32_t total_ = 0;
  VideoAccumulator<std::uint64_t> sums_;
};

// Adds two counts, saturating at 2^32 - 1.
inline std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
  const std::uint64_t sum = std::uint64_t{a} + b;
  return sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(sum);
}

}  // namespace tessarin
