// Building an index from the flat arrays an indexing pipeline lays out.
//
// The binding converts the caller's six arguments into the plain arrays of
// BuildInput (stage 1; each label becomes its first character) and then runs
// the building proper (stage 2) in this fixed order, the first failing check
// deciding the error:
//   1. check_shape(): array lengths, child indices, node_shifts bounds
//      (index/validation.h's bounds level);
//   2. each present payload, in order: check_payload_arity(), then the
//      binding converts its three elements (payload tuples are Python
//      objects), then add_payload() checks the lists' lengths and stores it;
//   3. build(): terminal flags, the video table (checked), then assembly and
//      propagation.
//
// check_shape() also refuses a node_shifts entry greater than the length of
// child_transitions: such a node's child range would reach outside the
// array, so it could be neither propagated nor walked. Entries that fall
// (node_shifts need not rise) are accepted: their ranges are empty.
//
// Thread safety: plain functions over the caller's values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/payload.h"
#include "index/trie.h"
#include "util/result.h"

namespace tessarin {

// The identifiers of all videos, in order, as the caller gave them; stored
// flat. Entries that can no longer make a valid table are not kept.
class VideoIndexInput {
 public:
  void add(std::span<const std::uint8_t> entry);
  [[nodiscard]] std::size_t count() const { return count_; }
  [[nodiscard]] bool all_16() const { return all_16_; }
  [[nodiscard]] bool all_4() const { return all_4_; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t count_ = 0;
  bool all_16_ = true;
  bool all_4_ = true;
};

struct BuildInput {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;  // the first character of each label, 0 for ""
  std::vector<std::uint32_t> child_transitions;
  PayloadTable payloads;  // the caller's own payloads; absent where None
  VideoIndexInput video_index;
  std::size_t video_top_n = 0;
};

// The shape checks, in this order: lengths of node_shifts and payloads
// against child_labels, child indices against the node count, node_shifts
// against the length of child_transitions. They are the bounds level of the
// index's validation (index/validation.h: bounds_fault), worded in the
// caller's terms; an index that passes them reaches Trust::kInBounds.
Status check_shape(std::size_t node_shifts_len, std::size_t labels_len, std::size_t payloads_len,
                   std::span<const std::uint32_t> child_transitions,
                   std::span<const std::uint32_t> node_shifts);

// A present payload (total_count, video_ids, video_counts) must have 3
// elements; checked before any of them is converted.
Status check_payload_arity(std::size_t elements);
// Once a payload's three elements are converted: its two lists must have
// equal lengths; the payload is then appended to `table`.
Status add_payload(PayloadTable& table, std::uint32_t total_count,
                   std::span<const std::uint32_t> video_ids,
                   std::span<const std::uint32_t> video_counts);

// On input that passed the checks above: terminal flags (a node is terminal
// when its payload is present), the video table (checked), assembly and
// propagation (index/propagation.h).
Result<Trie> build(BuildInput input);

}  // namespace tessarin
