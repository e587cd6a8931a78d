#include "index/trie.h"

#include <algorithm>

namespace tessarin {

Trie::Trie(TrieArrays arrays, Trust trust) : arrays_(std::move(arrays)), trust_(trust) {
  const std::vector<std::uint8_t>& terminal = arrays_.is_terminal;
  term_count_ = static_cast<std::size_t>(
      std::count_if(terminal.begin(), terminal.end(), [](std::uint8_t t) { return t != 0; }));
}

Trie::Trie(TrieArrays arrays) : Trie(std::move(arrays), Trust::kNone) {
  if (arrays_.reads_in_bounds()) trust_ = Trust::kInBounds;
}

std::variant<Trie, Fault> Trie::checked(TrieArrays arrays, Trust level) {
  if (std::optional<Fault> fault = find_fault(arrays.view(), level)) return *fault;
  return Trie(std::move(arrays), level);
}

Trie Trie::with_checked_reads(TrieArrays arrays) { return Trie(std::move(arrays), Trust::kNone); }

ChildRange Trie::children(std::size_t node) const {
  const std::span<const std::uint32_t> shifts = node_shifts();
  const std::size_t begin = at(shifts, node, "node_shifts");
  const std::size_t end =
      node + 1 < shifts.size() ? shifts[node + 1] : arrays_.child_transitions.size();
  return end > begin ? ChildRange{begin, end} : ChildRange{begin, begin};
}

bool TrieArrays::reads_in_bounds() const {
  return !find_fault(view(), Trust::kInBounds).has_value();
}

std::size_t Trie::memory_bytes() const {
  const TrieArrays& a = arrays_;
  return a.node_shifts.capacity() * 4 + a.child_labels.capacity() * 4 +
         a.child_transitions.capacity() * 4 + a.payloads.memory_bytes() +
         a.video_uuids.capacity() * 16 + a.video_int_ids.capacity() * 4 + a.is_terminal.capacity() +
         derived_.memory_bytes();
}

}  // namespace tessarin
