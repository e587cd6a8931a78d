// TermTable: the distinct terms of a build, interned.
//
// Terms are byte strings (UTF-8, checked by the caller) stored back to back
// in one arena, each named by a dense 32-bit id in order of arrival. Lookup
// is an open-addressing hash table of 64-bit slots, each holding the upper
// half of the term's hash beside its id + 1 (0 marks an empty slot), so that
// a probe compares bytes only when 32 bits of hash agree. The table is a
// power of two, at most 7/8 full; linear probing.
//
// Memory per distinct term: its bytes, 8 bytes of offset, and 8 to 16 bytes
// of slots. Cost: expected O(length) per lookup or insertion (the hash reads
// the term once). Not thread-safe: one builder owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace tessarin::builder {

// A 64-bit hash of bytes: eight bytes a step, each mixed in by a multiply
// and a rotation (the scheme of wyhash and its kin, without their seeds).
[[nodiscard]] inline std::uint64_t hash_bytes(std::string_view bytes) {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = 0x243F6A8885A308D3ull ^ (bytes.size() * kMul);
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  while (n >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kMul;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  if (n > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, n);
    h = (h ^ word) * kMul;
  }
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  return h ^ (h >> 32);
}

class TermTable {
 public:
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

  [[nodiscard]] std::size_t size() const { return offsets_.size() - 1; }
  [[nodiscard]] std::string_view term(std::uint32_t id) const {
    return {bytes_.data() + offsets_[id],
            static_cast<std::size_t>(offsets_[id + 1] - offsets_[id])};
  }
  // The id of `term` (whose hash_bytes() is `hash`), if present.
  [[nodiscard]] std::optional<std::uint32_t> find(std::string_view term, std::uint64_t hash) const;
  // find() for n terms at once, found[k] the id of terms[k] or kAbsent. The
  // reads of the n lookups overlap: all slots are prefetched, then the
  // candidates' offsets, then their bytes, so that n lookups cost about one
  // memory latency instead of three each.
  void find_many(const std::string_view* terms, const std::uint64_t* hashes, std::size_t n,
                 std::uint32_t* found) const;
  // Adds `term`, which must not be present; returns its id.
  std::uint32_t insert(std::string_view term, std::uint64_t hash);
  // The same terms, term order[k] getting id k (`order` is a permutation of
  // the ids, `*rank` its inverse); the bytes are laid out in that order.
  // Without `rank` the result cannot look terms up (drop_index()).
  [[nodiscard]] TermTable reordered(const std::vector<std::uint32_t>& order,
                                    const std::vector<std::uint32_t>* rank) const;
  // Total bytes of all terms.
  [[nodiscard]] std::size_t total_bytes() const { return bytes_.size(); }
  [[nodiscard]] std::size_t memory_bytes() const {
    return bytes_.capacity() + offsets_.capacity() * 8 + slots_.capacity() * 8;
  }
  // Frees the hash table: lookups are no longer possible, terms stay.
  void drop_index() { std::vector<std::uint64_t>().swap(slots_); }

 private:
  // A slot holds the upper half of the hash (the tag) beside id + 1; the
  // table's position comes from the tag's top bits, so growing never reads
  // a term again.
  [[nodiscard]] std::size_t home(std::uint64_t tag) const { return (tag >> 32) >> shift_; }
  void place(std::uint64_t slot);
  void grow();

  std::vector<char> bytes_;
  std::vector<std::uint64_t> offsets_{0};
  std::vector<std::uint64_t> slots_ = std::vector<std::uint64_t>(1024, 0);
  unsigned shift_ = 22;  // 32 - log2(slots_.size())
};

}  // namespace tessarin::builder
