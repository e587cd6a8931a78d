#include "index/from_arrays.h"

#include <algorithm>
#include <optional>
#include <string>

#include "index/propagation.h"
#include "index/validation.h"
#include "util/checked.h"

namespace tessarin {

void VideoIndexInput::add(std::span<const std::uint8_t> entry) {
  ++count_;
  all_16_ = all_16_ && entry.size() == 16;
  all_4_ = all_4_ && entry.size() == 4;
  if (all_16_ || all_4_) bytes_.insert(bytes_.end(), entry.begin(), entry.end());
}

namespace {

// A bounds fault in building's own words (its messages name the caller's
// arguments and are part of the module's behaviour).
std::string shape_message(const Fault& fault) {
  const auto number = [](std::uint64_t value) { return std::to_string(value); };
  switch (fault.kind) {
    case FaultKind::kLength:
      return std::string(array_name(fault.array)) + " len " + number(fault.value) +
             " != child_labels len " + number(fault.limit);
    case FaultKind::kChild:
      return "child_transitions[" + number(fault.at) + "] = " + number(fault.value) +
             " out of range [0.." + number(fault.limit) + ")";
    case FaultKind::kChildren:
      return "node_shifts[" + number(fault.at) + "] = " + number(fault.value) +
             " out of range [0.." + number(fault.limit) + "]: beyond the end of child_transitions";
    default:
      return describe(fault);  // not a bounds fault: never met here
  }
}

}  // namespace

Status check_shape(std::size_t node_shifts_len, std::size_t labels_len, std::size_t payloads_len,
                   std::span<const std::uint32_t> child_transitions,
                   std::span<const std::uint32_t> node_shifts) {
  // is_terminal is made from the payloads, so it has their length.
  const NodeArrayLengths lengths{labels_len, node_shifts_len, payloads_len, payloads_len};
  if (std::optional<Fault> fault = bounds_fault(lengths, child_transitions, node_shifts)) {
    return value_error(shape_message(*fault));
  }
  return {};
}

Status check_payload_arity(std::size_t elements) {
  if (elements != 3) return value_error("Payload tuple must have 3 elements");
  return {};
}

Status add_payload(PayloadTable& table, std::uint32_t total_count,
                   std::span<const std::uint32_t> video_ids,
                   std::span<const std::uint32_t> video_counts) {
  if (video_ids.size() != video_counts.size()) {
    return value_error("video_ids and video_counts length mismatch");
  }
  table.push(total_count, video_ids, video_counts);
  return {};
}

Result<Trie> build(BuildInput input) {
  TrieArrays trie;
  const VideoIndexInput& videos = input.video_index;
  if (videos.count() > 0) {
    const std::span<const std::uint8_t> bytes = videos.bytes();
    if (videos.all_16()) {
      trie.id_mode = IdMode::Uuid;
      trie.video_uuids.resize(videos.count());
      for (std::size_t k = 0; k < videos.count(); ++k) {
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(16 * k), 16,
                    trie.video_uuids[k].begin());
      }
    } else if (videos.all_4()) {
      trie.id_mode = IdMode::Int32;
      trie.video_int_ids.resize(videos.count());
      for (std::size_t k = 0; k < videos.count(); ++k) {
        const std::uint8_t* b = bytes.data() + 4 * k;
        trie.video_int_ids[k] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                                std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
      }
    } else {
      return value_error("video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
    }
  }

  trie.is_terminal.resize(input.payloads.size());
  for (std::size_t i = 0; i < input.payloads.size(); ++i) {
    trie.is_terminal[i] = input.payloads.present(i) ? 1 : 0;
  }
  trie.node_shifts = std::move(input.node_shifts);
  trie.child_labels = std::move(input.child_labels);
  trie.child_transitions = std::move(input.child_transitions);
  trie.payloads = std::move(input.payloads);
  const std::size_t top_n = input.video_top_n;
  return catch_internal([&]() -> Result<Trie> { return propagate(Trie(std::move(trie)), top_n); });
}

}  // namespace tessarin
