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
#include <iterator>
#include <span>
#include <vector>

namespace tessarin {

class ChildLabels {
 public:
  class iterator {
   public:
    using iterator_concept = std::input_iterator_tag;
    using iterator_category = std::input_iterator_tag;
    using value_type = char32_t;
    using difference_type = std::ptrdiff_t;
    using reference = char32_t;
    iterator() = default;
    iterator(const char32_t* wide, const std::uint16_t* narrow, std::size_t i)
        : wide_(wide), narrow_(narrow), i_(i) {}
    char32_t operator*() const { return read(wide_, narrow_, i_); }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    iterator operator++(int) { return {wide_, narrow_, i_++}; }
    bool operator==(const iterator& other) const { return i_ == other.i_; }

   private:
    const char32_t* wide_ = nullptr;
    const std::uint16_t* narrow_ = nullptr;
    std::size_t i_ = 0;
  };

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
  [[nodiscard]] char32_t operator[](std::size_t i) const { return read(wide_, narrow_, i); }
  // Where label i lies (i < size()).
  [[nodiscard]] const void* address(std::size_t i) const {
    return narrow_ != nullptr ? static_cast<const void*>(narrow_ + i)
                              : static_cast<const void*>(wide_ + i);
  }
  [[nodiscard]] iterator begin() const { return {wide_, narrow_, 0}; }
  [[nodiscard]] iterator end() const { return {wide_, narrow_, size_}; }

 private:
  static char32_t read(const char32_t* wide, const std::uint16_t* narrow, std::size_t i) {
    return narrow != nullptr ? char32_t{narrow[i]} : wide[i];
  }

  const char32_t* wide_ = nullptr;
  const std::uint16_t* narrow_ = nullptr;  // set only when the labels are 2 bytes wide
  std::size_t size_ = 0;
};

}  // namespace tessarin
