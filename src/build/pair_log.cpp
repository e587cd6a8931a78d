#include "build/pair_log.h"

#include <algorithm>

namespace tessarin::builder {

namespace {

// Sorts entries by term, stably: least significant digit first, 11 bits a
// pass, each pass one sequential read and 2048 sequential write streams
// (which caches handle well, unlike a scatter into one bucket per term).
void sort_by_term(std::vector<PairEntry>& entries, std::size_t terms) {
  constexpr unsigned kBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  unsigned bits = 0;
  while (bits < 32 && (std::size_t{1} << bits) < terms) ++bits;
  std::vector<PairEntry> other(entries.size());
  std::vector<std::size_t> starts(kBuckets);
  for (unsigned shift = 0; shift < bits; shift += kBits) {
    std::fill(starts.begin(), starts.end(), 0);
    for (const PairEntry& e : entries) ++starts[(e.term >> shift) & (kBuckets - 1)];
    std::size_t running = 0;
    for (std::size_t& start : starts) {
      const std::size_t size = start;
      start = running;
      running += size;
    }
    for (const PairEntry& e : entries) other[starts[(e.term >> shift) & (kBuckets - 1)]++] = e;
    entries.swap(other);
  }
}

}  // namespace

void PairLog::rename(const std::vector<std::uint32_t>& terms,
                     const std::vector<std::uint32_t>& videos) {
  for (PairEntry& e : entries_) {
    e.term = terms[e.term];
    e.video = videos[e.video];
  }
  compacted_size_ = 0;
}

void PairLog::retain(const std::vector<std::uint32_t>& terms,
                     const std::vector<std::uint32_t>& videos, std::size_t kept) {
  // Entries move only towards the front, in order: rewritten in place.
  std::vector<std::uint64_t> begins(kept + 1, 0);
  std::size_t out = 0;
  for (std::size_t t = 0; t + 1 < begins_.size(); ++t) {
    const std::uint32_t renamed = terms[t];
    if (renamed == kDropped) continue;
    begins[renamed] = out;
    for (std::size_t k = begins_[t]; k < begins_[t + 1]; ++k) {
      entries_[out++] = {renamed, videos[entries_[k].video], entries_[k].count};
    }
  }
  begins[kept] = out;
  entries_.resize(out);
  entries_.shrink_to_fit();
  begins_ = std::move(begins);
  compacted_size_ = out;
}

void PairLog::compact(std::size_t terms) {
  const std::size_t before = entries_.size();
  if (compacted_size_ < before) sort_by_term(entries_, terms);
  std::vector<std::uint64_t> begins(terms + 1, 0);
  for (const PairEntry& e : entries_) ++begins[e.term + 1];
  for (std::size_t t = 0; t < terms; ++t) begins[t + 1] += begins[t];
  // Each bucket by video, repeated pairs summed, written back compactly.
  std::size_t out = 0;
  for (std::size_t t = 0; t < terms; ++t) {
    const auto first = entries_.begin() + static_cast<std::ptrdiff_t>(begins[t]);
    const auto last = entries_.begin() + static_cast<std::ptrdiff_t>(begins[t + 1]);
    begins[t] = out;
    if (last - first > 1) {
      std::stable_sort(first, last,
                       [](const PairEntry& a, const PairEntry& b) { return a.video < b.video; });
    }
    for (auto run = first; run != last;) {
      std::uint64_t sum = 0;
      auto end = run;
      for (; end != last && end->video == run->video; ++end) sum += end->count;
      const std::uint32_t video = run->video;
      do {  // NOLINT(bugprone-infinite-loop): sum falls every turn
        const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, 0xFFFFFFFFu));
        entries_[out++] = {static_cast<std::uint32_t>(t), video, piece};
        sum -= piece;
      } while (sum > 0);
      run = end;
    }
  }
  begins[terms] = out;
  entries_.resize(out);
  begins_ = std::move(begins);
  compacted_size_ = out;
  // Records with few repeated pairs gain little from compacting: wait
  // longer before the next time.
  next_compaction_ = std::max(min_compaction_, (4 * out > 3 * before ? 4 : 2) * out);
}

}  // namespace tessarin::builder
