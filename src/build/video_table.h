// VideoTable: the distinct video identifiers of a build, interned.
//
// An index names its videos by one kind of identifier: 32-bit integers or
// 16-byte UUIDs. The table takes the kind of its first identifier and keeps
// each distinct identifier once, under a provisional position (order of
// arrival). At the end, sorted_positions() gives every provisional
// position its place in the sorted table, which is the index's video table:
// integers by value, UUIDs by their bytes.
//
// Lookup: open addressing over 64-bit slots, linear probing, at most half
// full; a slot holds position + 1 (0: empty) beside the identifier itself
// (integers) or 32 bits of its hash (UUIDs), so that finding an integer
// reads one slot and a UUID's bytes are read only when the hash agrees.
// Memory per video: its 4 or 16 bytes plus 16 to 32 bytes of slots. Not
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "index/trie.h"

namespace tessarin::builder {

class VideoTable {
 public:
  // The kind of the identifiers; none before the first.
  [[nodiscard]] std::optional<IdMode> kind() const { return kind_; }
  [[nodiscard]] std::size_t size() const {
    return kind_ == IdMode::Uuid ? uuids_.size() : ints_.size();
  }
  // The provisional position of an identifier, if present (never when the
  // table holds the other kind).
  [[nodiscard]] std::optional<std::uint32_t> find(std::uint32_t id) const;
  [[nodiscard]] std::optional<std::uint32_t> find(const Uuid& id) const;
  // Starts loading the slot where an identifier would be, for a find()
  // soon after.
  void prefetch(std::uint32_t id) const { __builtin_prefetch(&slots_[home(hash(id))]); }
  void prefetch(const Uuid& id) const { __builtin_prefetch(&slots_[home(hash(id))]); }
  // Adds an identifier that is not present; fixes the kind on the first.
  // The caller has checked that the kind agrees.
  std::uint32_t insert(std::uint32_t id);
  std::uint32_t insert(const Uuid& id);

  // For each provisional position, the position in the sorted table.
  [[nodiscard]] std::vector<std::uint32_t> sorted_positions() const;
  // Renumbers the videos: position k becomes final_position[k] (a
  // permutation), e.g. sorted_positions(), after which the table is in
  // sorted order and ints() or uuids() is the index's video table.
  void reorder(const std::vector<std::uint32_t>& final_position);
  [[nodiscard]] const std::vector<std::uint32_t>& ints() const { return ints_; }
  [[nodiscard]] const std::vector<Uuid>& uuids() const { return uuids_; }
  // The identifiers in sorted order, as an index's video table holds them;
  // `final_position` is sorted_positions().
  [[nodiscard]] std::vector<std::uint32_t> sorted_ints(
      const std::vector<std::uint32_t>& final_position) const;
  [[nodiscard]] std::vector<Uuid> sorted_uuids(
      const std::vector<std::uint32_t>& final_position) const;
  // The identifiers in sorted order, 4 little-endian bytes or 16 bytes
  // each; `final_position` is sorted_positions().
  [[nodiscard]] std::vector<std::uint8_t> sorted_bytes(
      const std::vector<std::uint32_t>& final_position) const;
  [[nodiscard]] std::size_t memory_bytes() const {
    return ints_.capacity() * 4 + uuids_.capacity() * 16 + slots_.capacity() * 8;
  }

 private:
  [[nodiscard]] static std::uint64_t hash(std::uint32_t id);
  [[nodiscard]] static std::uint64_t hash(const Uuid& id);
  // The upper half of a slot: the integer, or the UUID's hash tag.
  [[nodiscard]] static std::uint64_t key(std::uint32_t id) { return std::uint64_t{id} << 32; }
  [[nodiscard]] static std::uint64_t key(const Uuid& id) {
    return hash(id) & 0xFFFFFFFF00000000ull;
  }
  [[nodiscard]] bool same(std::uint32_t /*position*/, std::uint32_t /*id*/) const { return true; }
  [[nodiscard]] bool same(std::uint32_t position, const Uuid& id) const {
    return uuids_[position] == id;
  }
  [[nodiscard]] std::size_t home(std::uint64_t hash) const { return hash >> shift_; }
  template <class Id>
  [[nodiscard]] std::optional<std::uint32_t> find_any(const Id& id) const;
  void place(std::uint64_t hash, std::uint64_t slot);
  void grow();

  std::optional<IdMode> kind_;
  std::vector<std::uint32_t> ints_;
  std::vector<Uuid> uuids_;
  std::vector<std::uint64_t> slots_ = std::vector<std::uint64_t>(64, 0);
  unsigned shift_ = 58;  // 64 - log2(slots_.size())
};

}  // namespace tessarin::builder
