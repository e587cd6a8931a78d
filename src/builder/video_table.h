// VideoTable: the distinct video identifiers of a build, interned.
//
// An index names its videos by one kind of identifier: 32-bit integers or
// 16-byte UUIDs. The table takes the kind of its first identifier and keeps
// each distinct identifier once, under a provisional position (order of
// arrival). At the end, sorted_positions() gives every provisional
// position its place in the sorted table, which is the index's video table:
// integers by value, UUIDs by their bytes.
//
// Lookup: open addressing over 32-bit slots (position + 1, 0 empty),
// Fibonacci hashing, linear probing, at most half full. Memory per video:
// its 4 or 16 bytes plus 8 to 16 bytes of slots. Not thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tessarin::builder {

enum class VideoKind : std::uint8_t { kNone, kInt, kUuid };
using UuidBytes = std::array<std::uint8_t, 16>;

class VideoTable {
 public:
  [[nodiscard]] VideoKind kind() const { return kind_; }
  [[nodiscard]] std::size_t size() const {
    return kind_ == VideoKind::kUuid ? uuids_.size() : ints_.size();
  }
  // The provisional position of an identifier, if present. The kind must
  // be the table's own or kNone.
  [[nodiscard]] std::optional<std::uint32_t> find(std::uint32_t id) const;
  [[nodiscard]] std::optional<std::uint32_t> find(const UuidBytes& id) const;
  // Adds an identifier that is not present; fixes the kind on the first.
  // The caller has checked that the kind agrees.
  std::uint32_t insert(std::uint32_t id);
  std::uint32_t insert(const UuidBytes& id);

  // For each provisional position, the position in the sorted table.
  [[nodiscard]] std::vector<std::uint32_t> sorted_positions() const;
  // The identifiers in sorted order: 4 little-endian bytes or 16 bytes each.
  [[nodiscard]] std::vector<std::uint8_t> sorted_bytes() const;
  [[nodiscard]] std::size_t memory_bytes() const {
    return ints_.capacity() * 4 + uuids_.capacity() * 16 + slots_.capacity() * 4;
  }

 private:
  [[nodiscard]] static std::uint64_t hash(std::uint32_t id);
  [[nodiscard]] static std::uint64_t hash(const UuidBytes& id);
  [[nodiscard]] bool same(std::uint32_t position, std::uint32_t id) const {
    return ints_[position] == id;
  }
  [[nodiscard]] bool same(std::uint32_t position, const UuidBytes& id) const {
    return uuids_[position] == id;
  }
  template <class Id>
  [[nodiscard]] std::optional<std::uint32_t> find_any(const Id& id) const;
  void place(std::uint64_t hash, std::uint32_t position);
  void grow();

  VideoKind kind_ = VideoKind::kNone;
  std::vector<std::uint32_t> ints_;
  std::vector<UuidBytes> uuids_;
  std::vector<std::uint32_t> slots_ = std::vector<std::uint32_t>(64, 0);
};

}  // namespace tessarin::builder
