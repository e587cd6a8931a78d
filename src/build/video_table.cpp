#include "build/video_table.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace tessarin::builder {

std::uint64_t VideoTable::hash(std::uint32_t id) {
  return (std::uint64_t{id} + 1) * 0x9E3779B97F4A7C15ull;
}

std::uint64_t VideoTable::hash(const Uuid& id) {
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::memcpy(&a, id.data(), 8);
  std::memcpy(&b, id.data() + 8, 8);
  const std::uint64_t h = (a ^ (b * 0xD6E8FEB86659FD93ull)) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 31);
}

template <class Id>
std::optional<std::uint32_t> VideoTable::find_any(const Id& id) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t wanted = key(id);
  for (std::size_t i = home(hash(id));; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) return std::nullopt;
    const auto position = static_cast<std::uint32_t>((slot & 0xFFFFFFFFu) - 1);
    if ((slot & 0xFFFFFFFF00000000ull) == wanted && same(position, id)) return position;
  }
}

std::optional<std::uint32_t> VideoTable::find(std::uint32_t id) const {
  if (kind_ != IdMode::Int32) return std::nullopt;
  return find_any(id);
}

std::optional<std::uint32_t> VideoTable::find(const Uuid& id) const {
  if (kind_ != IdMode::Uuid) return std::nullopt;
  return find_any(id);
}

void VideoTable::place(std::uint64_t hash, std::uint64_t slot) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = home(hash);
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = slot;
}

void VideoTable::grow() {
  slots_.assign(slots_.size() * 2, 0);
  --shift_;
  for (std::uint32_t k = 0; k < size(); ++k) {
    if (kind_ == IdMode::Int32) {
      place(hash(ints_[k]), key(ints_[k]) | (std::uint64_t{k} + 1));
    } else {
      place(hash(uuids_[k]), key(uuids_[k]) | (std::uint64_t{k} + 1));
    }
  }
}

std::uint32_t VideoTable::insert(std::uint32_t id) {
  kind_ = IdMode::Int32;
  if ((size() + 1) * 2 > slots_.size()) grow();
  const auto position = static_cast<std::uint32_t>(ints_.size());
  ints_.push_back(id);
  place(hash(id), key(id) | (std::uint64_t{position} + 1));
  return position;
}

std::uint32_t VideoTable::insert(const Uuid& id) {
  kind_ = IdMode::Uuid;
  if ((size() + 1) * 2 > slots_.size()) grow();
  const auto position = static_cast<std::uint32_t>(uuids_.size());
  uuids_.push_back(id);
  place(hash(id), key(id) | (std::uint64_t{position} + 1));
  return position;
}

std::vector<std::uint32_t> VideoTable::sorted_positions() const {
  std::vector<std::uint32_t> order(size());
  std::iota(order.begin(), order.end(), 0u);
  if (kind_ == IdMode::Int32) {
    std::sort(order.begin(), order.end(),
              [this](std::uint32_t a, std::uint32_t b) { return ints_[a] < ints_[b]; });
  } else {
    std::sort(order.begin(), order.end(),
              [this](std::uint32_t a, std::uint32_t b) { return uuids_[a] < uuids_[b]; });
  }
  std::vector<std::uint32_t> final_position(size());
  for (std::uint32_t k = 0; k < order.size(); ++k) final_position[order[k]] = k;
  return final_position;
}

void VideoTable::reorder(const std::vector<std::uint32_t>& final_position) {
  if (kind_ == IdMode::Int32) {
    ints_ = sorted_ints(final_position);
  } else {
    uuids_ = sorted_uuids(final_position);
  }
  std::fill(slots_.begin(), slots_.end(), 0);
  for (std::uint32_t k = 0; k < size(); ++k) {
    if (kind_ == IdMode::Int32) {
      place(hash(ints_[k]), key(ints_[k]) | (std::uint64_t{k} + 1));
    } else {
      place(hash(uuids_[k]), key(uuids_[k]) | (std::uint64_t{k} + 1));
    }
  }
}

std::vector<std::uint32_t> VideoTable::sorted_ints(
    const std::vector<std::uint32_t>& final_position) const {
  std::vector<std::uint32_t> out(ints_.size());
  for (std::size_t k = 0; k < ints_.size(); ++k) out[final_position[k]] = ints_[k];
  return out;
}

std::vector<Uuid> VideoTable::sorted_uuids(const std::vector<std::uint32_t>& final_position) const {
  std::vector<Uuid> out(uuids_.size());
  for (std::size_t k = 0; k < uuids_.size(); ++k) out[final_position[k]] = uuids_[k];
  return out;
}

std::vector<std::uint8_t> VideoTable::sorted_bytes(
    const std::vector<std::uint32_t>& final_position) const {
  const std::size_t width = kind_ == IdMode::Int32 ? 4 : 16;
  std::vector<std::uint8_t> out(size() * width);
  for (std::uint32_t k = 0; k < size(); ++k) {
    std::uint8_t* at = out.data() + std::size_t{final_position[k]} * width;
    if (kind_ == IdMode::Int32) {
      for (unsigned b = 0; b < 4; ++b) at[b] = static_cast<std::uint8_t>(ints_[k] >> (8 * b));
    } else {
      std::copy(uuids_[k].begin(), uuids_[k].end(), at);
    }
  }
  return out;
}

}  // namespace tessarin::builder
