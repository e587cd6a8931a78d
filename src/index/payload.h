// Payloads: how often each video was reached through a node.
//
// A payload is a total count and two parallel lists: video positions (into
// the index's video table) and their counts. An index holds one optional
// payload per node, stored flat in a PayloadTable: all video positions of all
// payloads in one array, all counts in another, and per payload an offset
// into each. There is no heap allocation per payload, and a table of n
// payloads costs 4 (total) + 1 (present) + 16 (offsets) bytes per payload
// plus 8 bytes per listed video.
//
// Invariants of the table itself (kept by its own methods, whatever the
// contents): offsets rise, the last offset of each list is that list's
// length. Not guaranteed, and not checked here: that a payload's two lists
// have equal lengths (a restored index may break it; building does not), or
// that video positions lie inside any video table.
//
// Thread safety: const methods may be called concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/video_accumulator.h"

namespace tessarin {

// A read-only look at one payload; valid while its table lives unchanged.
struct PayloadView {
  std::uint32_t total_count = 0;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;
};

class PayloadTable {
 public:
  [[nodiscard]] std::size_t size() const { return present_.size(); }
  [[nodiscard]] bool present(std::size_t i) const { return present_[i] != 0; }
  // The payload at i; it must exist (i < size()) and be present.
  [[nodiscard]] PayloadView view(std::size_t i) const {
    return {
        total_counts_[i],
        {video_ids_.data() + id_offsets_[i], video_ids_.data() + id_offsets_[i + 1]},
        {video_counts_.data() + count_offsets_[i], video_counts_.data() + count_offsets_[i + 1]}};
  }
  // The payload at i, checked: an InternalFailure when i is outside the table,
  // nothing when the entry is absent.
  [[nodiscard]] std::optional<PayloadView> get(std::size_t i) const;

  void reserve(std::size_t payloads, std::size_t videos);
  void push_absent();
  void push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
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
  // Drops the entries of the last payload's lists beyond `ids` and `counts`.
  void truncate_last(std::size_t ids, std::size_t counts);

  [[nodiscard]] std::size_t total_video_ids() const { return video_ids_.size(); }
  [[nodiscard]] std::size_t total_video_counts() const { return video_counts_.size(); }
  // Heap bytes held by the table.
  [[nodiscard]] std::size_t memory_bytes() const;

 private:
  std::vector<std::uint8_t> present_;
  std::vector<std::uint32_t> total_counts_;
  std::vector<std::uint64_t> id_offsets_{0};     // size() + 1 entries
  std::vector<std::uint64_t> count_offsets_{0};  // size() + 1 entries
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
