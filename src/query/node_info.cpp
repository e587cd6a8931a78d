#include "query/node_info.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "query/video_text.h"
#include "search/transpositions.h"
#include "util/checked.h"
#include "util/utf8.h"

namespace tessarin {

namespace {

// The total alone: the slot's lists are not looked up.
std::uint32_t total_of(const Payloads& payloads, std::size_t node) {
  if (node >= payloads.size()) fail_out_of_range("payloads", node, payloads.size());
  const std::uint32_t slot = payloads.slot_of(node);
  return slot == Payloads::kAbsent ? 0 : payloads.totals()[slot];
}

// The own count rule (see the header), over any reader of children.
template <class ChildAt>
std::uint32_t own_count_of(const Payloads& payloads, std::size_t node, ChildRange range,
                           ChildAt child_at) {
  constexpr std::uint32_t kSaturated = 0xFFFFFFFFu;
  const std::uint32_t total = total_of(payloads, node);
  if (total == kSaturated || total == 0) return total;
  std::uint64_t below = 0;
  for (std::size_t k = range.begin; k < range.end; ++k) {
    const std::uint32_t child = child_at(k);
    if (child != node) below += total_of(payloads, child);
  }
  return below >= total ? 0 : static_cast<std::uint32_t>(total - below);
}

}  // namespace

std::uint32_t total_count(const Trie& trie, std::size_t node) {
  return total_of(trie.payloads(), node);
}

std::uint32_t own_count(const Trie& trie, std::size_t node) {
  return own_count_of(trie.payloads(), node, trie.children(node),
                      [&](std::size_t k) { return trie.child(k); });
}

std::uint32_t own_count(const IndexView& index, std::size_t node) {
  return own_count_of(index.payloads, node, children_of(index, node),
                      [&](std::size_t k) { return index.child_transitions[k]; });
}

Result<std::vector<VideoCount>> node_videos(const Trie& trie, std::size_t node) {
  if (node >= trie.node_count()) {
    return value_error("node " + std::to_string(node) + " out of range: the index has " +
                       std::to_string(trie.node_count()) + " nodes");
  }
  return catch_internal([&]() -> Result<std::vector<VideoCount>> {
    std::vector<VideoCount> videos;
    const std::optional<PayloadView> payload = trie.payloads().get(node);
    if (!payload) return videos;
    const std::span<const std::uint32_t> counts = payload->video_counts;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> listed;  // (video, count)
    listed.reserve(payload->video_ids.size());
    for (std::size_t k = 0; k < payload->video_ids.size(); ++k) {
      listed.emplace_back(payload->video_ids[k], at(counts, k, "video_counts"));
    }
    std::stable_sort(listed.begin(), listed.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    videos.reserve(listed.size());
    for (const auto& [video, count] : listed) {
      std::optional<std::string> text = video_text(trie, video);
      if (text) videos.push_back({std::move(*text), count});
    }
    return videos;
  });
}

void append_utf8(std::u32string_view path, std::string& out) {
  for (const char32_t c : path) {
    encode_utf8(c, [&](unsigned char b) { out.push_back(static_cast<char>(b)); });
  }
}

Status match_node_info(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                       bool terminal_only, Distance distance, NodeMatches& out) {
  // The walk records each node with its term and checks that its flag and
  // payload entry exist; their values, in arrays the walk does not read,
  // are fetched afterwards for all the nodes at once, so that the cache
  // misses overlap instead of following one another.
  const TerminalFlags& flags = trie.is_terminal();
  const Payloads& payloads = trie.payloads();
  const std::span<const std::uint32_t> totals = payloads.totals();
  std::vector<NodeMatches::Entry>& found = out.entries_.get();
  std::vector<char32_t>& terms = out.terms_.get();
  const Result<std::size_t> walked =
      search_walk<true>(distance, trie, term, max_dist, terminal_only,
                        [&](std::size_t node, std::uint32_t distance, std::u32string_view path) {
                          if (node >= flags.size()) {
                            fail_out_of_range("is_terminal", node, flags.size());
                          }
                          __builtin_prefetch(flags.address(node));
                          if (node < payloads.size()) payloads.prefetch_slot(node);
                          NodeMatches::Entry& entry = found.emplace_back();
                          entry.node = node;
                          entry.term_at = terms.size();
                          entry.term_size = static_cast<std::uint32_t>(path.size());
                          entry.distance = distance;
                          terms.insert(terms.end(), path.begin(), path.end());
                          return Walk::kGoOn;
                        });
  if (!walked.ok()) return walked.error();
  // total_count holds the node's payload slot until the totals are read.
  for (NodeMatches::Entry& entry : found) {
    if (entry.node >= payloads.size()) {
      fail_out_of_range("payloads", entry.node, payloads.size());
    }
    entry.total_count = payloads.slot_of(entry.node);
    if (entry.total_count < totals.size()) __builtin_prefetch(totals.data() + entry.total_count);
  }
  for (NodeMatches::Entry& entry : found) {
    entry.terminal = flags[entry.node] != 0;
    // total_count()'s value, without reading the lists' bounds beside it.
    entry.total_count = entry.total_count == Payloads::kAbsent ? 0 : totals[entry.total_count];
  }
  return {};
}

}  // namespace tessarin
