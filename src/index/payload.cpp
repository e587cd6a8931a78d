#include "index/payload.h"

#include <algorithm>

#include "util/checked.h"

namespace tessarin {

std::optional<PayloadView> Payloads::get(std::size_t i) const {
  if (i >= size()) fail_out_of_range("payloads", i, size());
  const std::uint32_t s = slot_of(i);
  if (s == kAbsent) return std::nullopt;
  return slot(s);
}

void PayloadTable::reserve(std::size_t payloads, std::size_t videos) {
  slots_.reserve(payloads);
  totals_.reserve(payloads);
  id_offsets_.reserve(payloads + 1);
  count_offsets_.reserve(payloads + 1);
  video_ids_.reserve(videos);
  video_counts_.reserve(videos);
}

void PayloadTable::push_absent() { slots_.push_back(Payloads::kAbsent); }

void PayloadTable::push_present(std::uint32_t total_count) {
  slots_.push_back(static_cast<std::uint32_t>(totals_.size()));
  totals_.push_back(total_count);
  id_offsets_.push_back(video_ids_.size());
  count_offsets_.push_back(video_counts_.size());
}

void PayloadTable::push(std::uint32_t total_count, const VideoIds& video_ids,
                        std::span<const std::uint32_t> video_counts) {
  push_present(total_count);
  video_ids.append_to(video_ids_);
  video_counts_.insert(video_counts_.end(), video_counts.begin(), video_counts.end());
  id_offsets_.back() = video_ids_.size();
  count_offsets_.back() = video_counts_.size();
}

std::size_t PayloadTable::memory_bytes() const {
  return slots_.capacity() * 4 + totals_.capacity() * 4 + id_offsets_.capacity() * 8 +
         count_offsets_.capacity() * 8 + video_ids_.capacity() * 4 + video_counts_.capacity() * 4;
}

void PayloadMerger::start(const PayloadView& own) {
  total_ = own.total_count;
  sums_.clear();
  sums_.reserve(own.video_ids.size());
  // A receiver's counts list is as long as its ids list (building checks it;
  // only propagation merges, and only built indexes are propagated).
  for (std::size_t k = 0; k < own.video_ids.size(); ++k) {
    sums_.add(own.video_ids[k], own.video_counts[k]);
  }
}

void PayloadMerger::merge_from(const PayloadView& other) {
  total_ = saturating_add(total_, other.total_count);
  for (std::size_t k = 0; k < other.video_ids.size(); ++k) {
    sums_.add(other.video_ids[k], other.video_counts[k]);
  }
}

void append_in_payload_order(std::vector<VideoSum>& sums, std::size_t top_n,
                             std::vector<std::uint32_t>& ids, std::vector<std::uint32_t>& counts) {
  const auto higher = [](const VideoSum& a, const VideoSum& b) {
    return a.value != b.value ? a.value > b.value : a.video < b.video;
  };
  const std::size_t keep = std::min(top_n, sums.size());
  const auto kept = sums.begin() + static_cast<std::ptrdiff_t>(keep);
  if (keep < sums.size()) std::nth_element(sums.begin(), kept, sums.end(), higher);
  std::sort(sums.begin(), kept, higher);
  for (auto it = sums.begin(); it != kept; ++it) {
    ids.push_back(it->video);
    counts.push_back(it->value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(it->value));
  }
}

}  // namespace tessarin
