// PairLog: how often each (term, video) pair was seen, kept compact.
//
// Records are appended as entries of three 32-bit numbers (term id, video
// position, count) and summed later, in compactions: the entries are
// sorted by term (a radix sort, least significant digit first), each term's
// entries by video, and repeated pairs are summed into one entry. A sum
// above 2^32 - 1 is kept exactly, as several entries of the same pair whose
// counts add up to it (a 32-bit count can always hold one more record), so
// sums are exact however large, while an entry stays 12 bytes.
//
// A compaction runs when the log has doubled since the last one (grown
// fourfold if the last one removed less than a quarter of it), and holds at
// least a few million entries, so the log holds at most about four times
// the distinct pairs plus that floor, and the total work stays linear in
// the records. After compact(), the entries of term t are those between
// bucket_begin(t) and bucket_begin(t + 1), sorted by video, a pair's
// entries adjacent.
//
// Memory: 12 bytes per entry; a compaction adds 12 bytes per entry and 8
// per term for the time it runs. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessarin::builder {

struct PairEntry {
  std::uint32_t term;
  std::uint32_t video;
  std::uint32_t count;
};

class PairLog {
 public:
  PairLog() = default;
  // A log that compacts first at `min_compaction` entries (tests use small
  // ones to exercise compaction).
  explicit PairLog(std::size_t min_compaction)
      : min_compaction_(min_compaction), next_compaction_(min_compaction) {}

  // Appends a pair; `terms` is the number of distinct terms so far (every
  // term id appended is below it), for a compaction that this may start.
  void add(std::uint32_t term, std::uint32_t video, std::uint32_t count, std::size_t terms) {
    entries_.push_back({term, video, count});
    if (entries_.size() >= next_compaction_) compact(terms);
  }
  // Groups the entries by term (ids below `terms`) and sums repeated pairs.
  void compact(std::size_t terms);
  [[nodiscard]] bool compacted() const { return compacted_size_ == entries_.size(); }
  // After compact(): where term t's entries begin (t <= terms).
  [[nodiscard]] std::size_t bucket_begin(std::size_t term) const { return begins_[term]; }
  [[nodiscard]] std::span<const PairEntry> bucket(std::size_t term) const {
    return std::span<const PairEntry>(entries_).subspan(begins_[term],
                                                        begins_[term + 1] - begins_[term]);
  }
  [[nodiscard]] std::size_t size() const { return entries_.size(); }
  // Renames every term t to terms[t] and every video v to videos[v]
  // (permutations); the next compact() sorts all entries again.
  void rename(const std::vector<std::uint32_t>& terms, const std::vector<std::uint32_t>& videos);
  // After compact(): keeps the entries of the terms that `terms` maps to a
  // new id (kDropped: none), renaming them and their videos by `videos`;
  // both maps keep the order of what they keep. The log stays compacted,
  // with `kept` terms.
  static constexpr std::uint32_t kDropped = 0xFFFFFFFFu;
  void retain(const std::vector<std::uint32_t>& terms, const std::vector<std::uint32_t>& videos,
              std::size_t kept);
  // Starts loading term t's bucket (after compact()), for a read soon after.
  void prefetch(std::size_t term) const { __builtin_prefetch(entries_.data() + begins_[term]); }
  void prefetch_begin(std::size_t term) const { __builtin_prefetch(&begins_[term]); }
  [[nodiscard]] std::size_t memory_bytes() const {
    return entries_.capacity() * sizeof(PairEntry) + begins_.capacity() * 8;
  }
  void clear() {
    std::vector<PairEntry>().swap(entries_);
    std::vector<std::uint64_t>().swap(begins_);
    compacted_size_ = 0;
  }

 private:
  static constexpr std::size_t kMinCompaction = std::size_t{1} << 22;

  std::vector<PairEntry> entries_;
  std::vector<std::uint64_t> begins_;  // terms + 1 entries, valid when compacted()
  std::size_t compacted_size_ = 0;
  std::size_t min_compaction_ = kMinCompaction;
  std::size_t next_compaction_ = kMinCompaction;
};

}  // namespace tessarin::builder
