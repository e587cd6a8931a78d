#include "index/from_arrays.h"

#include <algorithm>
#include <string>

#include "util/checked.h"

namespace tessarin {

void VideoIndexInput::add(std::span<const std::uint8_t> entry) {
  ++count_;
  all_16_ = all_16_ && entry.size() == 16;
  all_4_ = all_4_ && entry.size() == 4;
  if (all_16_ || all_4_) bytes_.insert(bytes_.end(), entry.begin(), entry.end());
}

Status check_shape(std::size_t node_shifts_len, std::size_t labels_len, std::size_t payloads_len,
                   std::span<const std::uint32_t> child_transitions,
                   std::span<const std::uint32_t> node_shifts) {
  const std::size_t n = labels_len;
  if (node_shifts_len != n) {
    return value_error("node_shifts len " + std::to_string(node_shifts_len) +
                       " != child_labels len " + std::to_string(n));
  }
  if (payloads_len != n) {
    return value_error("payloads len " + std::to_string(payloads_len) + " != child_labels len " +
                       std::to_string(n));
  }
  for (std::size_t j = 0; j < child_transitions.size(); ++j) {
    if (child_transitions[j] >= n) {
      return value_error("child_transitions[" + std::to_string(j) +
                         "] = " + std::to_string(child_transitions[j]) + " out of range [0.." +
                         std::to_string(n) + ")");
    }
  }
  for (std::size_t i = 0; i < node_shifts.size(); ++i) {
    if (node_shifts[i] > child_transitions.size()) {
      return value_error("node_shifts[" + std::to_string(i) +
                         "] = " + std::to_string(node_shifts[i]) + " out of range [0.." +
                         std::to_string(child_transitions.size()) +
                         "]: beyond the end of child_transitions");
    }
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
