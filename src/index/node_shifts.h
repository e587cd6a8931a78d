// The node shifts of an index (node_shifts, index/trie.h), read-only: 4
// bytes per node (arrays, and index files of earlier layouts), or, in an
// index file, grouped: per 30 nodes a 64-byte group, a 4-byte base and 30
// 2-byte offsets from it (node i's shift is the base of group i / 30 plus
// offset i % 30, taken modulo 2^32), so that a shift is read from one cache
// line where the groups lie at multiples of 64. Either way a span's reads:
// size() (the node count), operator[] (unchecked, as a span's), iteration,
// and the address of a shift, to fetch it ahead.
//
// Cost: a read is one load, or two from one group and a division by a
// constant. Thread safety: read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "util/indexed_iterator.h"

namespace tessarin {

// 30 nodes' shifts: base + offsets[j] for the group's node j.
struct ShiftGroup {
  static constexpr std::size_t kNodes = 30;
  std::uint32_t base;
  std::uint16_t offsets[kNodes];
};
static_assert(sizeof(ShiftGroup) == 64);

class NodeShifts {
 public:
  using iterator = IndexedIterator<NodeShifts, std::uint32_t>;

  NodeShifts() = default;
  NodeShifts(std::span<const std::uint32_t> plain)  // NOLINT(google-explicit-constructor)
      : plain_(plain.data()), size_(plain.size()) {}
  NodeShifts(const std::vector<std::uint32_t>& plain)  // NOLINT(google-explicit-constructor)
      : NodeShifts(std::span<const std::uint32_t>(plain)) {}
  // `nodes` shifts in (nodes + 29) / 30 groups from `groups`.
  static NodeShifts grouped(const ShiftGroup* groups, std::size_t nodes) {
    NodeShifts shifts;
    shifts.groups_ = groups;
    shifts.size_ = nodes;
    return shifts;
  }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] bool is_grouped() const { return groups_ != nullptr; }
  [[nodiscard]] std::uint32_t operator[](std::size_t i) const {
    if (groups_ == nullptr) return plain_[i];
    const ShiftGroup& group = groups_[i / ShiftGroup::kNodes];
    return group.base + group.offsets[i % ShiftGroup::kNodes];
  }
  // Where shift i lies: its group, or its entry (i < size()).
  [[nodiscard]] const void* address(std::size_t i) const {
    return groups_ != nullptr ? static_cast<const void*>(groups_ + i / ShiftGroup::kNodes)
                              : static_cast<const void*>(plain_ + i);
  }
  // The bytes that hold them, from address(0) on.
  [[nodiscard]] std::size_t size_bytes() const {
    return groups_ != nullptr
               ? (size_ + ShiftGroup::kNodes - 1) / ShiftGroup::kNodes * sizeof(ShiftGroup)
               : size_ * 4;
  }
  [[nodiscard]] iterator begin() const { return {*this, 0}; }
  [[nodiscard]] iterator end() const { return {*this, size_}; }

 private:
  const std::uint32_t* plain_ = nullptr;
  const ShiftGroup* groups_ = nullptr;  // set only when grouped
  std::size_t size_ = 0;
};

}  // namespace tessarin
