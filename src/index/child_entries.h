// The child entries of an index (child_transitions, index/trie.h), read-only:
// an array owned elsewhere, or, where an index file leaves the array out
// because entry p names node p + 1 for every p (the numbering the package's
// builder gives: breadth-first, children in order), that identity, of a
// given length, read without memory. Either way a span's reads: size(),
// operator[] (unchecked, as a span's), iteration.
//
// Cost: a read is one load, or an addition. Thread safety: read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "util/indexed_iterator.h"

namespace tessarin {

class ChildEntries {
 public:
  using iterator = IndexedIterator<ChildEntries, std::uint32_t>;

  ChildEntries() = default;
  ChildEntries(std::span<const std::uint32_t> stored)  // NOLINT(google-explicit-constructor)
      : stored_(stored.empty() ? nullptr : stored.data()), size_(stored.size()) {}
  ChildEntries(const std::vector<std::uint32_t>& stored)  // NOLINT(google-explicit-constructor)
      : ChildEntries(std::span<const std::uint32_t>(stored)) {}
  // Entries 1, 2, ..., size, held nowhere.
  static ChildEntries identity(std::size_t size) {
    ChildEntries entries;
    entries.size_ = size;
    entries.identity_ = true;
    return entries;
  }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] bool is_identity() const { return identity_; }
  // The array, empty for the identity.
  [[nodiscard]] std::span<const std::uint32_t> stored() const {
    return identity_ ? std::span<const std::uint32_t>() : std::span(stored_, size_);
  }
  [[nodiscard]] std::uint32_t operator[](std::size_t p) const { return read(stored_, p); }
  [[nodiscard]] iterator begin() const { return {*this, 0}; }
  [[nodiscard]] iterator end() const { return {*this, size_}; }

 private:
  // The identity reads no array (stored_ is null only for it, or when
  // there is nothing to read).
  static std::uint32_t read(const std::uint32_t* stored, std::size_t p) {
    return stored != nullptr ? stored[p] : static_cast<std::uint32_t>(p + 1);
  }

  const std::uint32_t* stored_ = nullptr;
  std::size_t size_ = 0;
  bool identity_ = false;
};

}  // namespace tessarin
