#include "builder/term_table.h"

#include <utility>

namespace tessarin::builder {
namespace {

constexpr std::uint64_t tag_of(std::uint64_t hash) { return hash & 0xFFFFFFFF00000000ull; }

}  // namespace

std::optional<std::uint32_t> TermTable::find(std::string_view term, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = tag_of(hash);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) return std::nullopt;
    if ((slot & 0xFFFFFFFF00000000ull) == tag) {
      const auto id = static_cast<std::uint32_t>((slot & 0xFFFFFFFFu) - 1);
      if (this->term(id) == term) return id;
    }
  }
}

void TermTable::find_many(const std::string_view* terms, const std::uint64_t* hashes, std::size_t n,
                          std::uint32_t* found) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t k = 0; k < n; ++k) __builtin_prefetch(&slots_[hashes[k] & mask]);
  // The first slot of the probe whose tag agrees names the likely id.
  for (std::size_t k = 0; k < n; ++k) {
    found[k] = kAbsent;
    const std::uint64_t tag = tag_of(hashes[k]);
    for (std::size_t i = hashes[k] & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) break;
      if ((slot & 0xFFFFFFFF00000000ull) == tag) {
        found[k] = static_cast<std::uint32_t>((slot & 0xFFFFFFFFu) - 1);
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

std::uint32_t TermTable::insert(std::string_view term, std::uint64_t hash) {
  if ((size() + 1) * 8 > slots_.size() * 7) grow();
  const auto id = static_cast<std::uint32_t>(size());
  bytes_.insert(bytes_.end(), term.begin(), term.end());
  offsets_.push_back(bytes_.size());
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = tag_of(hash) | (std::uint64_t{id} + 1);
  return id;
}

void TermTable::grow() {
  // The tag keeps only the upper half of the hash, so re-hash the bytes.
  std::vector<std::uint64_t> slots(slots_.size() * 2, 0);
  const std::size_t mask = slots.size() - 1;
  for (std::uint32_t id = 0; id < size(); ++id) {
    const std::uint64_t hash = hash_bytes(term(id));
    std::size_t i = hash & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = tag_of(hash) | (std::uint64_t{id} + 1);
  }
  slots_ = std::move(slots);
}

}  // namespace tessarin::builder
