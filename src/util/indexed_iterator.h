// An input iterator over a read-only view whose elements are computed on
// reading (packed or implicit arrays: they have no address to point at). It
// holds a copy of the view, which is a pointer and a size or two, and a
// position, and reads view[position].
//
// Cost: a read is the view's operator[]. Thread safety: read-only.
#pragma once

#include <cstddef>
#include <iterator>

namespace tessarin {

template <class View, class Value>
class IndexedIterator {
 public:
  using iterator_concept = std::input_iterator_tag;
  using iterator_category = std::input_iterator_tag;
  using value_type = Value;
  using difference_type = std::ptrdiff_t;
  using reference = Value;

  IndexedIterator() = default;
  IndexedIterator(const View& view, std::size_t k) : view_(view), k_(k) {}
  Value operator*() const { return view_[k_]; }
  IndexedIterator& operator++() {
    ++k_;
    return *this;
  }
  IndexedIterator operator++(int) {
    IndexedIterator before = *this;
    ++k_;
    return before;
  }
  bool operator==(const IndexedIterator& other) const { return k_ == other.k_; }

 private:
  View view_{};
  std::size_t k_ = 0;
};

}  // namespace tessarin
