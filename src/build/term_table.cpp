#include "build/term_table.h"

#include <utility>

namespace tessarin::builder {
namespace {

constexpr std::uint64_t kTagMask = 0xFFFFFFFF00000000ull;
constexpr std::uint64_t tag_of(std::uint64_t hash) { return hash & kTagMask; }
constexpr std::uint32_t id_of(std::uint64_t slot) {
  return static_cast<std::uint32_t>((slot & 0xFFFFFFFFu) - 1);
}

}  // namespace

std::optional<std::uint32_t> TermTable::find(std::string_view term, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = tag_of(hash);
  for (std::size_t i = home(tag);; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) return std::nullopt;
    if ((slot & kTagMask) == tag && this->term(id_of(slot)) == term) return id_of(slot);
  }
}

void TermTable::find_many(const std::string_view* terms, const std::uint64_t* hashes, std::size_t n,
                          std::uint32_t* found) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t k = 0; k < n; ++k) __builtin_prefetch(&slots_[home(tag_of(hashes[k]))]);
  // The first slot of the probe whose tag agrees names the likely id.
  for (std::size_t k = 0; k < n; ++k) {
    found[k] = kAbsent;
    const std::uint64_t tag = tag_of(hashes[k]);
    for (std::size_t i = home(tag);; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) break;
      if ((slot & kTagMask) == tag) {
        found[k] = id_of(slot);
        __builtin_prefetch(&offsets_[found[k]]);
        break;
      }
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (found[k] != kAbsent) __builtin_prefetch(bytes_.data() + offsets_[found[k]]);
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (found[k] == kAbsent || term(found[k]) == terms[k]) continue;
    // Two terms whose tags agree: rare; the plain lookup settles it.
    const std::optional<std::uint32_t> id = find(terms[k], hashes[k]);
    found[k] = id ? *id : kAbsent;
  }
}

void TermTable::place(std::uint64_t slot) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = home(slot & kTagMask);
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = slot;
}

std::uint32_t TermTable::insert(std::string_view term, std::uint64_t hash) {
  if ((size() + 1) * 8 > slots_.size() * 7) grow();
  const auto id = static_cast<std::uint32_t>(size());
  bytes_.insert(bytes_.end(), term.begin(), term.end());
  offsets_.push_back(bytes_.size());
  place(tag_of(hash) | (std::uint64_t{id} + 1));
  return id;
}

void TermTable::grow() {
  std::vector<std::uint64_t> old(slots_.size() * 2, 0);
  old.swap(slots_);
  --shift_;
  for (const std::uint64_t slot : old) {
    if (slot != 0) place(slot);
  }
}

TermTable TermTable::reordered(const std::vector<std::uint32_t>& order,
                               const std::vector<std::uint32_t>* rank) const {
  TermTable out;
  out.bytes_.reserve(bytes_.size());
  out.offsets_.reserve(offsets_.size());
  for (const std::uint32_t id : order) {
    const std::string_view text = term(id);
    out.bytes_.insert(out.bytes_.end(), text.begin(), text.end());
    out.offsets_.push_back(out.bytes_.size());
  }
  if (rank == nullptr) {
    out.drop_index();
    return out;
  }
  out.slots_.assign(slots_.size(), 0);
  out.shift_ = shift_;
  for (const std::uint64_t slot : slots_) {
    if (slot != 0) out.place((slot & kTagMask) | (std::uint64_t{(*rank)[id_of(slot)]} + 1));
  }
  return out;
}

}  // namespace tessarin::builder
