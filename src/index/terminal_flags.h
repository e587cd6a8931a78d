// The terminal flags of an index (is_terminal, index/trie.h), read-only: a
// byte per node, 0 or not (arrays, and index files of earlier layouts), or
// a bit per node, bit i % 8 of byte i / 8 (an index file's). Either way a
// span's reads: size() (the node count), operator[] (0 or 1 for bits; the
// byte as it is otherwise; unchecked, as a span's), iteration, and the
// address of a flag's byte, to fetch it ahead.
//
// Cost: a read is one load (and a shift). Thread safety: read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "util/bit_count.h"
#include "util/indexed_iterator.h"

namespace tessarin {

class TerminalFlags {
 public:
  using iterator = IndexedIterator<TerminalFlags, std::uint8_t>;

  TerminalFlags() = default;
  TerminalFlags(std::span<const std::uint8_t> bytes)  // NOLINT(google-explicit-constructor)
      : data_(bytes.data()), size_(bytes.size()) {}
  TerminalFlags(const std::vector<std::uint8_t>& bytes)  // NOLINT(google-explicit-constructor)
      : TerminalFlags(std::span<const std::uint8_t>(bytes)) {}
  // `nodes` flags, a bit each, in (nodes + 7) / 8 bytes from `bits`.
  static TerminalFlags packed(const std::uint8_t* bits, std::size_t nodes) {
    TerminalFlags flags;
    flags.data_ = bits;
    flags.size_ = nodes;
    flags.packed_ = true;
    return flags;
  }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] bool is_packed() const { return packed_; }
  [[nodiscard]] std::uint8_t operator[](std::size_t i) const { return read(data_, packed_, i); }
  // The byte that holds flag i (i < size()).
  [[nodiscard]] const std::uint8_t* address(std::size_t i) const {
    return data_ + (packed_ ? i >> 3 : i);
  }
  [[nodiscard]] iterator begin() const { return {*this, 0}; }
  [[nodiscard]] iterator end() const { return {*this, size_}; }
  // How many flags are set: bits counted 64 at a time (the last byte's
  // beyond size() left out), or bytes other than 0.
  [[nodiscard]] std::size_t count() const {
    std::size_t set = 0;
    if (!packed_) {
      for (std::size_t i = 0; i < size_; ++i) set += data_[i] != 0 ? 1 : 0;
      return set;
    }
    const std::size_t whole = size_ / 64;
    for (std::size_t w = 0; w < whole; ++w) {
      std::uint64_t word = 0;
      std::memcpy(&word, data_ + 8 * w, sizeof word);
      set += static_cast<std::size_t>(bit_count(word));
    }
    for (std::size_t i = whole * 64; i < size_; ++i) set += read(data_, true, i);
    return set;
  }

 private:
  static std::uint8_t read(const std::uint8_t* data, bool packed, std::size_t i) {
    if (!packed) return data[i];
    return static_cast<std::uint8_t>((static_cast<unsigned>(data[i >> 3U]) >> (i & 7U)) & 1U);
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool packed_ = false;
};

}  // namespace tessarin
