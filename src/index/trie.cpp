#include "index/trie.h"

#include <algorithm>

namespace tessarin {

Trie::Trie(TrieArrays arrays)
    : arrays_(std::move(arrays)), well_formed_(arrays_.reads_in_bounds()) {}

Trie Trie::with_checked_reads(TrieArrays arrays) {
  Trie trie(std::move(arrays));
  trie.well_formed_ = false;
  return trie;
}

ChildRange Trie::children(std::size_t node) const {
  const std::span<const std::uint32_t> shifts = node_shifts();
  const std::size_t begin = at(shifts, node, "node_shifts");
  const std::size_t end =
      node + 1 < shifts.size() ? shifts[node + 1] : arrays_.child_transitions.size();
  return end > begin ? ChildRange{begin, end} : ChildRange{begin, begin};
}

bool TrieArrays::reads_in_bounds() const {
  const std::size_t n = child_labels.size();
  if (node_shifts.size() != n || is_terminal.size() != n) return false;
  const std::size_t entries = child_transitions.size();
  const bool children_in = std::all_of(child_transitions.begin(), child_transitions.end(),
                                       [n](std::uint32_t child) { return child < n; });
  return children_in && std::all_of(node_shifts.begin(), node_shifts.end(),
                                    [entries](std::uint32_t s) { return s <= entries; });
}

// Top-N propagation.
//
// Nodes are visited from the highest index down to the root, so a child with
// a greater index than its parent is finished before the parent merges it:
// the parent receives the child's subtree total and its already cut list.
// A child with a smaller index is merged with its own input payload, and a
// child entry naming the node itself is skipped. A node with no other child
// keeps its own list as given, only cut; every other node gets the merged
// list of PayloadMerger (sorted by count, ties by video position, cut).
//
// Results are written in visiting order into scratch arrays and then laid
// out in node order, once, into the final table.
Trie propagate(Trie trie, std::size_t video_top_n) {
  const std::size_t n = trie.node_count();
  const PayloadTable& payloads = trie.payloads();
  const auto with_payloads = [&trie](PayloadTable table) {
    TrieArrays arrays = std::move(trie).release();
    arrays.payloads = std::move(table);
    return Trie(std::move(arrays));
  };
  if (n == 0) {
    // Nothing to visit; absent entries still become empty payloads.
    PayloadTable filled;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      if (payloads.present(i)) {
        const PayloadView p = payloads.view(i);
        filled.push(p.total_count, p.video_ids, p.video_counts);
      } else {
        filled.push(0, {}, {});
      }
    }
    return with_payloads(std::move(filled));
  }

  const PayloadTable& input = payloads;
  const auto input_payload = [&](std::size_t node) {
    return input.present(node) ? input.view(node) : PayloadView{};
  };

  // Scratch results, slot n - 1 - i for node i.
  std::vector<std::uint32_t> totals(n);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(n + 1);
  offsets.push_back(0);
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
  ids.reserve(input.total_video_ids());
  counts.reserve(input.total_video_ids());
  // merged[i]: node i's list came out of the merger (combined and sorted).
  std::vector<std::uint8_t> merged(n, 0);

  const auto result = [&](std::size_t node) {
    const std::size_t slot = n - 1 - node;
    return PayloadView{totals[slot],
                       {ids.data() + offsets[slot], ids.data() + offsets[slot + 1]},
                       {counts.data() + offsets[slot], counts.data() + offsets[slot + 1]}};
  };
  // The payload a parent merges for child d while node i is being processed.
  const auto current = [&](std::size_t d, std::size_t i) {
    return d > i ? result(d) : input_payload(d);
  };

  PayloadMerger merger;
  for (std::size_t i = n; i-- > 0;) {
    const PayloadView own = input_payload(i);
    const ChildRange range = trie.children(i);
    std::size_t other_children = 0;
    std::size_t only_child = 0;
    for (std::size_t j = range.begin; j < range.end; ++j) {
      const std::uint32_t d = trie.child(j);
      if (d != i) {
        ++other_children;
        only_child = d;
      }
    }

    const std::size_t slot = n - 1 - i;
    if (other_children == 0) {
      // Never merged: the node's own list, in its own order, cut.
      const std::size_t keep = std::min(video_top_n, own.video_ids.size());
      totals[slot] = own.total_count;
      ids.insert(ids.end(), own.video_ids.begin(), own.video_ids.begin() + keep);
      counts.insert(counts.end(), own.video_counts.begin(), own.video_counts.begin() + keep);
    } else if (other_children == 1 && only_child > i && merged[only_child] != 0 &&
               own.video_ids.empty() &&
               (result(only_child).video_counts.empty() ||
                result(only_child).video_counts.front() != 0xFFFFFFFFu)) {
      // A chain node: merging one finished list into an empty one gives
      // that list back (it is sorted, combined and no longer than the cut).
      const PayloadView child_result = result(only_child);
      totals[slot] = saturating_add(own.total_count, child_result.total_count);
      const std::size_t begin = offsets[n - 1 - only_child];
      const std::size_t length = child_result.video_ids.size();
      for (std::size_t k = 0; k < length; ++k) {
        ids.push_back(ids[begin + k]);
        counts.push_back(counts[begin + k]);
      }
      merged[i] = 1;
    } else {
      merger.start(own);
      for (std::size_t j = range.begin; j < range.end; ++j) {
        const std::uint32_t d = trie.child(j);
        if (d != i) merger.merge_from(current(d, i));
      }
      totals[slot] = merger.total_count();
      merger.finish(video_top_n, ids, counts);
      merged[i] = 1;
    }
    offsets.push_back(ids.size());
  }

  PayloadTable out;
  out.reserve(payloads.size(), ids.size());
  for (std::size_t i = 0; i < n; ++i) {
    const PayloadView p = result(i);
    out.push(p.total_count, p.video_ids, p.video_counts);
  }
  return with_payloads(std::move(out));
}

std::size_t Trie::memory_bytes() const {
  const TrieArrays& a = arrays_;
  return a.node_shifts.capacity() * 4 + a.child_labels.capacity() * 4 +
         a.child_transitions.capacity() * 4 + a.payloads.memory_bytes() +
         a.video_uuids.capacity() * 16 + a.video_int_ids.capacity() * 4 + a.is_terminal.capacity() +
         derived_.memory_bytes();
}

}  // namespace tessarin
