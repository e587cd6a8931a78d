// The child labels of an index (child_labels, index/trie.h), read-only: a
// code point of 4 bytes per node (arrays, and index files of earlier
// layouts), or of 2 bytes per node where every label is below 0x10000 (an
// index file's). Either way a span's reads: size() (the node count),
// operator[] (the code point; unchecked, as a span's), iteration, and the
// address of a label, to fetch it ahead.
//
// Cost: a read is one load. Thread safety: read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "util/indexed_iterator.h"

namespace tessarin {

class ChildLabels {
 public:
  using iterator = IndexedIterator<ChildLabels, char32_t>;

  ChildLabels() = default;
  ChildLabels(std::span<const char32_t> wide)  // NOLINT(google-explicit-constructor)
      : wide_(wide.data()), size_(wide.size()) {}
  ChildLabels(const std::vector<char32_t>& wide)  // NOLINT(google-explicit-constructor)
      : ChildLabels(std::span<const char32_t>(wide)) {}
  // `nodes` labels, 2 bytes each, little-endian, from `narrow`.
  static ChildLabels narrow(const std::uint16_t* narrow, std::size_t nodes) {
    ChildLabels labels;
    labels.narrow_ = narrow;
    labels.size_ = nodes;
    return labels;
  }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] bool is_narrow() const { return narrow_ != nullptr; }
  [[nodiscard]] char32_t operator[](std::size_t i) const {
    return narrow_ != nullptr ? char32_t{narrow_[i]} : wide_[i];
  }
  // Where label i lies (i < size()).
  [[nodiscard]] const void* address(std::size_t i) const {
    return narrow_ != nullptr ? static_cast<const void*>(narrow_ + i)
                              : static_cast<const void*>(wide_ + i);
  }
  [[nodiscard]] iterator begin() const { return {*this, 0}; }
  [[nodiscard]] iterator end() const { return {*this, size_}; }

 private:
  const char32_t* wide_ = nullptr;
  const std::uint16_t* narrow_ = nullptr;  // set only when the labels are 2 bytes wide
  std::size_t size_ = 0;
};

}  // namespace tessarin
