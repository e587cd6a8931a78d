// VideoAccumulator<V>: sums values per video position.
//
// A small open-addressing hash map from a 32-bit video position to an
// accumulated value, keeping its entries in first-seen order in one flat
// vector. It is reused across calls (clear() keeps the storage), so merging
// many small payloads allocates only while the largest one grows it.
//
// Invariants: the slot table is a power of two and at most half full; each
// key occurs once in entries(). Lookups use Fibonacci hashing with linear
// probing. Not thread-safe; owned by one operation at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tessarin {

template <class V>
class VideoAccumulator {
 public:
  struct Entry {
    std::uint32_t video;
    V value;
  };

  void clear() {
    for (std::size_t slot : used_) slots_[slot] = kEmpty;
    used_.clear();
    entries_.clear();
  }

  void reserve(std::size_t n) {
    entries_.reserve(n);
    if (n * 2 > slots_.size()) rehash(n * 2);
  }

  // Adds `amount` to the entry of `video`, creating it at V{} first.
  void add(std::uint32_t video, V amount) {
    if ((entries_.size() + 1) * 2 > slots_.size()) rehash((entries_.size() + 1) * 2);
    const std::size_t at = find_slot(video);
    std::uint32_t& slot = slots_[at];
    if (slot == kEmpty) {
      slot = static_cast<std::uint32_t>(entries_.size());
      entries_.push_back(Entry{video, V{}});
      used_.push_back(at);
    }
    entries_[slot].value += amount;
  }

  [[nodiscard]] std::size_t size() const { return entries_.size(); }
  std::vector<Entry>& entries() { return entries_; }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  [[nodiscard]] std::size_t find_slot(std::uint32_t video) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = (static_cast<std::uint64_t>(video) * 0x9E3779B97F4A7C15ull) >> shift_;
    while (slots_[i] != kEmpty && entries_[slots_[i]].video != video) i = (i + 1) & mask;
    return i;
  }

  void rehash(std::size_t wanted) {
    std::size_t size = 16;
    unsigned bits = 4;
    while (size < wanted) {
      size *= 2;
      ++bits;
    }
    slots_.assign(size, kEmpty);
    shift_ = 64 - bits;
    used_.clear();
    for (std::size_t k = 0; k < entries_.size(); ++k) {
      const std::size_t at = find_slot(entries_[k].video);
      slots_[at] = static_cast<std::uint32_t>(k);
      used_.push_back(at);
    }
  }

  std::vector<std::uint32_t> slots_ = std::vector<std::uint32_t>(16, kEmpty);
  unsigned shift_ = 60;
  std::vector<Entry> entries_;
  std::vector<std::size_t> used_;  // slots taken, so clear() costs O(size())
};

}  // namespace tessarin
