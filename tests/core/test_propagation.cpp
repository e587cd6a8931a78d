// Building checks, propagation and payload merge, on the core directly.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "build/record_builder.h"
#include "check.h"
#include "format/saved_form.h"
#include "index/from_arrays.h"
#include "index/payload.h"
#include "index/propagation.h"
#include "index/trie.h"

using tessarin::BuildInput;
using tessarin::PayloadView;
using tessarin::Trie;

namespace {

constexpr std::uint32_t kMax = 0xFFFFFFFFu;

struct P {
  std::uint32_t total;
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
};

Trie built(std::vector<std::uint32_t> shifts, std::vector<std::uint32_t> transitions,
           const std::vector<std::optional<P>>& payloads, std::size_t top_n) {
  BuildInput input;
  input.node_shifts = std::move(shifts);
  input.child_transitions = std::move(transitions);
  input.child_labels.assign(payloads.size(), U'x');
  for (const auto& p : payloads) {
    if (p) {
      CHECK(tessarin::add_payload(input.payloads, p->total, p->ids, p->counts).ok());
    } else {
      input.payloads.push_absent();
    }
  }
  input.video_top_n = top_n;
  const tessarin::Status shape =
      tessarin::check_shape(input.node_shifts.size(), input.child_labels.size(),
                            input.payloads.size(), input.child_transitions, input.node_shifts);
  CHECK(shape.ok());
  auto result = tessarin::build(std::move(input));
  CHECK(result.ok());
  return std::move(result).value();
}

std::vector<std::uint32_t> ids(const Trie& t, std::size_t node) {
  const PayloadView v = t.payloads().view(node);
  return {v.video_ids.begin(), v.video_ids.end()};
}
std::vector<std::uint32_t> counts(const Trie& t, std::size_t node) {
  const PayloadView v = t.payloads().view(node);
  return {v.video_counts.begin(), v.video_counts.end()};
}
std::uint32_t total(const Trie& t, std::size_t node) { return t.payloads().view(node).total_count; }

using V = std::vector<std::uint32_t>;

}  // namespace

TEST(worked_example_cuts_the_root_to_two) {
  const Trie t =
      built({0, 2, 2}, {1, 2}, {std::nullopt, P{3, {7, 9}, {1, 2}}, P{5, {9, 4}, {4, 3}}}, 2);
  CHECK_EQ(total(t, 0), 8u);
  CHECK_EQ(ids(t, 0), (V{9, 4}));
  CHECK_EQ(counts(t, 0), (V{6, 3}));
  CHECK_EQ(ids(t, 1), (V{7, 9}));  // a leaf keeps its own order
  CHECK_EQ(std::vector<std::uint8_t>(t.is_terminal().begin(), t.is_terminal().end()),
           (std::vector<std::uint8_t>{0, 1, 1}));
  CHECK(t.payloads().present(0));
}

TEST(top_n_zero_keeps_totals_only) {
  const Trie t = built({0, 1}, {1}, {P{1, {1}, {1}}, P{5, {2, 3}, {1, 1}}}, 0);
  CHECK_EQ(total(t, 0), 6u);
  CHECK(ids(t, 0).empty());
  CHECK(ids(t, 1).empty());
  CHECK_EQ(total(t, 1), 5u);
}

TEST(leaf_keeps_input_order_and_repeats) {
  const Trie t = built({0}, {}, {P{4, {5, 1, 5}, {1, 2, 3}}}, 10);
  CHECK_EQ(ids(t, 0), (V{5, 1, 5}));
  CHECK_EQ(counts(t, 0), (V{1, 2, 3}));
}

TEST(self_child_is_skipped) {
  // Node 0 lists only itself: never merged, list unsorted.
  const Trie t = built({0}, {0}, {P{4, {5, 1, 5}, {1, 2, 3}}}, 10);
  CHECK_EQ(ids(t, 0), (V{5, 1, 5}));
  CHECK_EQ(total(t, 0), 4u);
}

TEST(merged_with_an_empty_child_still_sorts_and_combines) {
  const Trie t = built({0, 1}, {1}, {P{4, {5, 1, 5}, {1, 2, 3}}, std::nullopt}, 10);
  CHECK_EQ(ids(t, 0), (V{5, 1}));
  CHECK_EQ(counts(t, 0), (V{4, 2}));
}

TEST(child_listed_twice_counts_twice) {
  const Trie t = built({0, 2}, {1, 1}, {std::nullopt, P{3, {8}, {2}}}, 10);
  CHECK_EQ(total(t, 0), 6u);
  CHECK_EQ(ids(t, 0), (V{8}));
  CHECK_EQ(counts(t, 0), (V{4}));
}

TEST(ties_break_by_video_position) {
  const Trie t = built({0, 2, 2}, {1, 2}, {std::nullopt, P{1, {9, 3}, {2, 2}}, P{1, {6}, {2}}}, 10);
  CHECK_EQ(ids(t, 0), (V{3, 6, 9}));
}

TEST(totals_and_counts_saturate) {
  const Trie t = built({0, 2, 2}, {1, 2},
                       {P{kMax, {1}, {kMax}}, P{kMax, {1, 2}, {kMax, 7}}, P{1, {1}, {1}}}, 10);
  CHECK_EQ(total(t, 0), kMax);
  CHECK_EQ(ids(t, 0), (V{1, 2}));
  CHECK_EQ(counts(t, 0), (V{kMax, 7}));
}

TEST(sort_uses_the_exact_sum_above_32_bits) {
  // Video 2 sums to 2^32 + 1, video 1 to 2^32 - 1 + 0: both store 2^32 - 1,
  // but 2 ranks first although its position is higher.
  const Trie t =
      built({0, 2, 2}, {1, 2}, {P{0, {1}, {kMax}}, P{0, {2}, {kMax}}, P{0, {2}, {2}}}, 10);
  CHECK_EQ(ids(t, 0), (V{2, 1}));
  CHECK_EQ(counts(t, 0), (V{kMax, kMax}));
}

TEST(child_with_smaller_index_merges_its_input_payload) {
  // Node 1 is the parent of node 0; node 0 is the parent of node 2.
  // Node 1 (visited before 0) merges node 0's own input payload only.
  const Trie t = built({0, 1, 2}, {2, 0}, {P{1, {1}, {1}}, P{0, {}, {}}, P{5, {2}, {5}}}, 10);
  CHECK_EQ(total(t, 0), 6u);
  CHECK_EQ(ids(t, 0), (V{2, 1}));
  CHECK_EQ(total(t, 1), 1u);
  CHECK_EQ(ids(t, 1), (V{1}));
}

TEST(chain_of_single_children_passes_lists_up) {
  const Trie t = built({0, 1, 2, 3}, {1, 2, 3},
                       {std::nullopt, std::nullopt, P{0, {4, 5}, {1, 1}}, P{2, {5, 4}, {3, 1}}}, 1);
  CHECK_EQ(ids(t, 2), (V{5}));
  CHECK_EQ(counts(t, 2), (V{4}));
  CHECK_EQ(ids(t, 0), (V{5}));
  CHECK_EQ(counts(t, 0), (V{4}));
  CHECK_EQ(total(t, 0), 2u);
}

TEST(no_nodes_is_left_unchanged) {
  const Trie t = built({}, {}, {}, 3);
  CHECK_EQ(t.payloads().size(), 0u);
}

TEST(shape_checks_in_order) {
  const std::vector<std::uint32_t> none;
  CHECK_EQ(tessarin::check_shape(1, 2, 0, none, none).error().message,
           std::string("node_shifts len 1 != child_labels len 2"));
  CHECK_EQ(tessarin::check_shape(2, 2, 3, none, none).error().message,
           std::string("payloads len 3 != child_labels len 2"));
  const std::vector<std::uint32_t> transitions{1, 2, 7};
  CHECK_EQ(tessarin::check_shape(2, 2, 2, transitions, none).error().message,
           std::string("child_transitions[1] = 2 out of range [0..2)"));
  const std::vector<std::uint32_t> ok_transitions{1};
  const std::vector<std::uint32_t> shifts{0, 2};
  CHECK_EQ(
      tessarin::check_shape(2, 2, 2, ok_transitions, shifts).error().message,
      std::string("node_shifts[1] = 2 out of range [0..1]: beyond the end of child_transitions"));
  const std::vector<std::uint32_t> falling{1, 0};
  CHECK(tessarin::check_shape(2, 2, 2, ok_transitions, falling).ok());
}

TEST(payload_checks) {
  CHECK(tessarin::check_payload_arity(3).ok());
  for (const std::size_t elements : {0, 2, 4}) {
    CHECK_EQ(tessarin::check_payload_arity(elements).error().message,
             std::string("Payload tuple must have 3 elements"));
  }
  tessarin::PayloadTable table;
  const std::vector<std::uint32_t> two{1, 2};
  const std::vector<std::uint32_t> one{1};
  CHECK_EQ(tessarin::add_payload(table, 5, two, one).error().message,
           std::string("video_ids and video_counts length mismatch"));
  CHECK_EQ(table.size(), 0u);
  CHECK(tessarin::add_payload(table, 5, two, two).ok());
  CHECK_EQ(table.size(), 1u);
}

TEST(video_table_modes) {
  BuildInput ints;
  const std::vector<std::uint8_t> one{1, 0, 0, 0};
  const std::vector<std::uint8_t> all{0xFF, 0xFF, 0xFF, 0xFF};
  ints.video_index.add(one);
  ints.video_index.add(all);
  auto t = tessarin::build(std::move(ints));
  CHECK(t.ok());
  CHECK(t.value().id_mode() == tessarin::IdMode::Int32);
  CHECK_EQ(V(t.value().video_int_ids().begin(), t.value().video_int_ids().end()), (V{1, kMax}));

  BuildInput mixed;
  const std::vector<std::uint8_t> sixteen(16, 7);
  mixed.video_index.add(sixteen);
  mixed.video_index.add(one);
  auto m = tessarin::build(std::move(mixed));
  CHECK(!m.ok());
  CHECK_EQ(m.error().message,
           std::string("video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)"));
}

TEST(merger_matches_merge_from_one_at_a_time) {
  tessarin::PayloadMerger merger;
  const V own_ids{3, 3, 1};
  const V own_counts{1, 1, 5};
  merger.start({2, own_ids, own_counts});
  const V other_ids{3};
  const V other_counts{4};
  merger.merge_from({kMax, other_ids, other_counts});
  V out_ids;
  V out_counts;
  merger.finish(10, out_ids, out_counts);
  CHECK_EQ(merger.total_count(), kMax);
  CHECK_EQ(out_ids, (V{3, 1}));
  CHECK_EQ(out_counts, (V{6, 5}));
}

namespace {

// The plain model of propagation on a tree whose children follow their
// parent: a leaf keeps its own list, cut; any other node sums its own and
// its children's results per video, sorts (highest first, ties by
// position), cuts and saturates.
P naive(const std::vector<std::vector<std::uint32_t>>& kids, const std::vector<P>& own,
        std::size_t node, std::size_t top_n) {
  const P& mine = own[node];
  if (kids[node].empty()) {
    const std::size_t keep = std::min(top_n, mine.ids.size());
    return {mine.total, V(mine.ids.begin(), mine.ids.begin() + keep),
            V(mine.counts.begin(), mine.counts.begin() + keep)};
  }
  std::uint64_t total = mine.total;
  std::map<std::uint32_t, std::uint64_t> sums;
  for (std::size_t k = 0; k < mine.ids.size(); ++k) sums[mine.ids[k]] += mine.counts[k];
  for (const std::uint32_t child : kids[node]) {
    const P below = naive(kids, own, child, top_n);
    total += below.total;
    for (std::size_t k = 0; k < below.ids.size(); ++k) sums[below.ids[k]] += below.counts[k];
  }
  std::vector<std::pair<std::uint32_t, std::uint64_t>> order(sums.begin(), sums.end());
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  order.resize(std::min(top_n, order.size()));
  P out{static_cast<std::uint32_t>(std::min<std::uint64_t>(total, kMax)), {}, {}};
  for (const auto& [video, sum] : order) {
    out.ids.push_back(video);
    out.counts.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, kMax)));
  }
  return out;
}

}  // namespace

TEST(propagation_matches_the_plain_model_on_random_trees) {
  std::mt19937 rng(17);
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = 1 + rng() % 12;
    std::vector<std::vector<std::uint32_t>> kids(n);
    for (std::uint32_t v = 1; v < n; ++v) kids[rng() % v].push_back(v);
    std::vector<std::uint32_t> shifts;
    std::vector<std::uint32_t> transitions;
    std::vector<std::optional<P>> given(n);
    std::vector<P> own(n);
    for (std::size_t i = 0; i < n; ++i) {
      shifts.push_back(static_cast<std::uint32_t>(transitions.size()));
      transitions.insert(transitions.end(), kids[i].begin(), kids[i].end());
      if (rng() % 3 == 0) continue;  // absent: counts as empty
      P p{static_cast<std::uint32_t>(rng() % 4 == 0 ? kMax - rng() % 3 : rng() % 50), {}, {}};
      for (std::size_t k = rng() % 5; k > 0; --k) {
        p.ids.push_back(static_cast<std::uint32_t>(rng() % 6));  // repeats allowed
        p.counts.push_back(
            static_cast<std::uint32_t>(rng() % 8 == 0 ? kMax - rng() % 3 : rng() % 20));
      }
      given[i] = p;
      own[i] = p;
    }
    const std::size_t top_n = rng() % 5;
    const Trie t = built(shifts, transitions, given, top_n);
    for (std::size_t i = 0; i < n; ++i) {
      const P expected = naive(kids, own, i, top_n);
      CHECK_EQ(total(t, i), expected.total);
      CHECK_EQ(ids(t, i), expected.ids);
      CHECK_EQ(counts(t, i), expected.counts);
    }
  }
}

TEST(both_traversals_give_the_same_index_on_random_records) {
  // The record builder's traversal by depth against lay_out() and
  // propagate(): the same saved form, byte for byte.
  using tessarin::builder::Field;
  constexpr auto kUnchecked = tessarin::builder::TermForm::kUnchecked;
  std::mt19937 rng(23);
  const std::vector<std::string> pieces{"a", "b", "ab", "\xc3\xa9", "\xe4\xb8\xad", " "};
  for (int round = 0; round < 150; ++round) {
    tessarin::builder::RecordBuilder by_depth;
    tessarin::builder::RecordBuilder by_arrays;
    for (std::size_t r = rng() % 40; r > 0; --r) {
      std::string term;
      for (std::size_t k = 1 + rng() % 4; k > 0; --k) term += pieces[rng() % pieces.size()];
      tessarin::builder::VideoValue video;
      video.integer = static_cast<std::uint32_t>(rng() % 9);
      const std::int64_t count = rng() % 6 == 0 ? std::int64_t{kMax} - rng() % 2 : rng() % 30;
      CHECK(!by_depth.add(term, kUnchecked, video, Field::of_signed(count)).has_value());
      CHECK(!by_arrays.add(term, kUnchecked, video, Field::of_signed(count)).has_value());
    }
    const std::size_t top_n = rng() % 4;
    const auto quiet = [](std::size_t, std::size_t) {};
    const Trie direct = by_depth.build(top_n, quiet);
    auto laid = tessarin::build(by_arrays.lay_out(top_n, quiet));
    CHECK(laid.ok());
    CHECK(direct.trust() == tessarin::Trust::kTree);
    CHECK(!tessarin::find_fault(direct.view(), tessarin::Trust::kConsistent).has_value());
    CHECK(!tessarin::find_fault(laid.value().view(), tessarin::Trust::kConsistent).has_value());
    const auto a = tessarin::encoding::encode_to_vec(direct);
    const auto b = tessarin::encoding::encode_to_vec(laid.value());
    CHECK(a.ok() && b.ok());
    CHECK(a.value() == b.value());
  }
}
