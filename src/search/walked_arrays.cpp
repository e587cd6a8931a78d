#include "search/walked_arrays.h"

#include <algorithm>

#include "search/search_aids.h"

namespace tessarin {
namespace {

template <class T>
std::span<const std::uint8_t> bytes_of(std::span<const T> array) {
  if (array.empty()) return {};
  return {reinterpret_cast<const std::uint8_t*>(array.data()), array.size_bytes()};
}

}  // namespace

std::vector<std::span<const std::uint8_t>> walked_arrays(const Trie& trie) {
  std::vector<std::span<const std::uint8_t>> arrays;
  const auto add = [&arrays](std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) arrays.push_back(bytes);
  };
  const NodeShifts& shifts = trie.node_shifts();
  if (!shifts.empty()) {
    add({static_cast<const std::uint8_t*>(shifts.address(0)), shifts.size_bytes()});
  }
  const ChildLabels& labels = trie.child_labels();
  if (!labels.empty()) {
    const std::size_t width = labels.is_narrow() ? 2 : 4;
    add({static_cast<const std::uint8_t*>(labels.address(0)), labels.size() * width});
  }
  add(bytes_of(trie.child_transitions().stored()));
  add(bytes_of(trie.payloads().slots()));
  add(bytes_of(trie.payloads().marks()));
  // What a payload's lookup reads: its total, where its lists lie, the lists.
  const Payloads& payloads = trie.payloads();
  add(bytes_of(payloads.totals()));
  for (const ListOffsets* offsets : {&payloads.id_offsets(), &payloads.count_offsets()}) {
    for (const std::span<const std::uint8_t> bytes : offsets->bytes(payloads.slot_count())) {
      add(bytes);
    }
  }
  add(payloads.video_ids().bytes());
  add(bytes_of(payloads.video_counts()));
  add(bytes_of(trie.view().video_int_ids));
  add(bytes_of(trie.view().video_uuids));
  const TerminalFlags& terminal = trie.is_terminal();
  if (!terminal.empty()) {
    add({terminal.address(0), terminal.address(terminal.size() - 1) + 1});
  }
  if (const StoredAids* aids = trie.stored_aids()) {
    add(bytes_of(aids->tree.positions));
    add(bytes_of(aids->tree.preorder));
    add(bytes_of(aids->tree.by_label));
    add(bytes_of(aids->reversed.entries));
    add(bytes_of(aids->reversed.ranks));
    add(bytes_of(aids->reversed.nodes));
    add(bytes_of(aids->reversed.term_begin));
    add(bytes_of(aids->bounds));
  }
  // In the order they lie (an index file's sections: ascending).
  std::ranges::sort(arrays, {}, [](std::span<const std::uint8_t> a) { return a.data(); });
  return arrays;
}

}  // namespace tessarin
