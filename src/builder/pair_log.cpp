#include "builder/pair_log.h"

#include <algorithm>

namespace tessarin::builder {

void PairLog::compact(std::size_t terms) {
  // Bucket sizes, then the in-place permutation: for each bucket in turn,
  // every entry at its next free place that belongs elsewhere is swapped
  // into the next free place of its own bucket, until the one that belongs
  // here arrives.
  std::vector<std::uint64_t> begins(terms + 1, 0);
  for (const PairEntry& e : entries_) ++begins[e.term + 1];
  for (std::size_t t = 0; t < terms; ++t) begins[t + 1] += begins[t];
  {
    std::vector<std::uint64_t> next(begins.begin(), begins.end() - 1);
    for (std::size_t t = 0; t < terms; ++t) {
      const std::uint64_t end = begins[t + 1];
      for (std::uint64_t i = next[t]; i < end; i = ++next[t]) {
        PairEntry moving = entries_[i];
        while (moving.term != t) std::swap(moving, entries_[next[moving.term]++]);
        entries_[i] = moving;
      }
    }
  }
  // Each bucket by video, repeated pairs summed, written back compactly.
  std::size_t out = 0;
  for (std::size_t t = 0; t < terms; ++t) {
    const auto first = entries_.begin() + static_cast<std::ptrdiff_t>(begins[t]);
    const auto last = entries_.begin() + static_cast<std::ptrdiff_t>(begins[t + 1]);
    begins[t] = out;
    if (last - first > 1) {
      std::sort(first, last,
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
  next_compaction_ = std::max(min_compaction_, 2 * out);
}

}  // namespace tessarin::builder
