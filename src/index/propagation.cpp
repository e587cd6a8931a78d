#include "index/propagation.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "util/checked.h"

namespace tessarin {

StepResult PropagationStep::run(const PayloadView& own, bool own_in_order,
                                std::span<const ChildList> children,
                                std::vector<std::uint32_t>& ids,
                                std::vector<std::uint32_t>& counts) {
  if (children.empty()) {
    // A leaf: never merged, its own list in its own order, cut.
    const auto keep = static_cast<std::ptrdiff_t>(std::min(top_n_, own.video_ids.size()));
    own.video_ids.append_to(ids, static_cast<std::size_t>(keep));
    counts.insert(counts.end(), own.video_counts.begin(), own.video_counts.begin() + keep);
    return {own.total_count, own_in_order};
  }
  const ChildList& first = children.front();
  const std::span<const std::uint32_t> first_counts = first.payload.video_counts;
  if (children.size() == 1 && own.video_ids.empty() && first.in_order &&
      (first_counts.empty() || first_counts.front() != 0xFFFFFFFFu)) {
    // A chain node: merging one list in payload order (sorted, distinct,
    // no longer than the cut, no saturated count whose order the merger
    // would decide on the stored value) into an empty one gives it back.
    // The child's list may lie in ids and counts: copy it out of the way.
    ids_.clear();
    first.payload.video_ids.append_to(ids_);
    counts_.assign(first_counts.begin(), first_counts.end());
    ids.insert(ids.end(), ids_.begin(), ids_.end());
    counts.insert(counts.end(), counts_.begin(), counts_.end());
    return {saturating_add(own.total_count, first.payload.total_count), true};
  }
  merger_.start(own);
  for (const ChildList& child : children) merger_.merge_from(child.payload);
  merger_.finish(top_n_, ids, counts);
  return {merger_.total_count(), true};
}

// Results are written in visiting order into scratch arrays (slot n - 1 - i
// for node i) and then laid out in node order, once, into the final table.
Trie propagate(Trie trie, std::size_t video_top_n) {
  const std::size_t n = trie.node_count();
  const Trust trust = trie.trust();
  const auto with_payloads = [&trie, trust](PayloadTable table) {
    TrieArrays arrays = std::move(trie).release();
    arrays.payloads = std::move(table);
    std::variant<Trie, Fault> made = Trie::checked(std::move(arrays), trust);
    if (const Fault* fault = std::get_if<Fault>(&made)) {
      fail_internal("propagation broke the index: " + describe(*fault));
    }
    return std::get<Trie>(std::move(made));
  };
  const Payloads& input = trie.payloads();
  if (n == 0) {
    // Nothing to visit; absent entries still become empty payloads.
    PayloadTable filled;
    for (std::size_t i = 0; i < input.size(); ++i) {
      if (input.present(i)) {
        const PayloadView p = input.view(i);
        filled.push(p.total_count, p.video_ids, p.video_counts);
      } else {
        filled.push(0, {}, {});
      }
    }
    return with_payloads(std::move(filled));
  }

  const auto input_payload = [&](std::size_t node) {
    return input.present(node) ? input.view(node) : PayloadView{};
  };
  std::vector<std::uint32_t> totals(n);
  std::vector<std::uint8_t> in_order(n, 0);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(n + 1);
  offsets.push_back(0);
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
  ids.reserve(input.total_video_ids());
  counts.reserve(input.total_video_ids());
  const auto result = [&](std::size_t node) {
    const std::size_t slot = n - 1 - node;
    return PayloadView{
        totals[slot],
        std::span<const std::uint32_t>(ids.data() + offsets[slot], ids.data() + offsets[slot + 1]),
        {counts.data() + offsets[slot], counts.data() + offsets[slot + 1]}};
  };

  PropagationStep step(video_top_n);
  std::vector<ChildList> children;
  for (std::size_t i = n; i-- > 0;) {
    children.clear();
    const ChildRange range = trie.children(i);
    for (std::size_t j = range.begin; j < range.end; ++j) {
      const std::uint32_t d = trie.child(j);
      if (d == i) continue;
      // A child above i is finished; one below is merged as it was given.
      children.push_back(d > i ? ChildList{result(d), in_order[n - 1 - d] != 0}
                               : ChildList{input_payload(d), false});
    }
    const StepResult made = step.run(input_payload(i), false, children, ids, counts);
    totals[n - 1 - i] = made.total;
    in_order[n - 1 - i] = made.in_order ? 1 : 0;
    offsets.push_back(ids.size());
  }

  PayloadTable out;
  out.reserve(n, ids.size());
  for (std::size_t i = 0; i < n; ++i) {
    const PayloadView p = result(i);
    out.push(p.total_count, p.video_ids, p.video_counts);
  }
  return with_payloads(std::move(out));
}

}  // namespace tessarin
