#include "builder/layout.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

namespace tessarin::builder {
namespace {

constexpr std::uint32_t kNoTerm = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kProgressStep = std::size_t{1} << 16;

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The first character of `text` at byte `at` (valid UTF-8); advances `at`.
char32_t decode(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t k) {
    return char32_t{static_cast<unsigned char>(text[at + k])};
  };
  const char32_t lead = byte(0);
  char32_t c = 0;
  std::size_t length = 1;
  if (lead < 0x80) {
    c = lead;
  } else if (lead < 0xE0) {
    c = (lead & 0x1Fu) << 6u | (byte(1) & 0x3Fu);
    length = 2;
  } else if (lead < 0xF0) {
    c = (lead & 0x0Fu) << 12u | (byte(1) & 0x3Fu) << 6u | (byte(2) & 0x3Fu);
    length = 3;
  } else {
    c = (lead & 0x07u) << 18u | (byte(1) & 0x3Fu) << 12u | (byte(2) & 0x3Fu) << 6u |
        (byte(3) & 0x3Fu);
    length = 4;
  }
  at += length;
  return c;
}

// Where `next` stops sharing whole characters with `previous`, as a byte
// offset into `next`, and how many characters come before it.
struct Shared {
  std::size_t bytes = 0;
  std::size_t characters = 0;
};

Shared shared_prefix(std::string_view previous, std::string_view next) {
  const std::size_t limit = std::min(previous.size(), next.size());
  std::size_t b = 0;
  while (b < limit && previous[b] == next[b]) ++b;
  while (b > 0 && b < next.size() && is_continuation(next[b])) --b;
  const auto characters = static_cast<std::size_t>(
      std::count_if(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(b),
                    [](char byte) { return !is_continuation(byte); }));
  return {b, characters};
}

// A term's payload: its total and its videos by sum, highest first, equal
// sums by table position; the bucket holds each pair's entries adjacent.
struct PayloadMaker {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> sums;  // (sum, table position)
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;

  void add(PayloadTable& table, std::span<const PairEntry> bucket,
           const std::vector<std::uint32_t>& final_position) {
    sums.clear();
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < bucket.size();) {
      const std::uint32_t video = bucket[k].video;
      std::uint64_t sum = 0;
      for (; k < bucket.size() && bucket[k].video == video; ++k) sum += bucket[k].count;
      total += sum;
      sums.emplace_back(sum, final_position[video]);
    }
    std::sort(sums.begin(), sums.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    ids.clear();
    counts.clear();
    for (const auto& [sum, position] : sums) {
      ids.push_back(position);
      counts.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, 0xFFFFFFFFu)));
    }
    table.push(static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0xFFFFFFFFu)), ids,
               counts);
  }
};

}  // namespace

std::vector<std::uint32_t> sorted_terms(const TermTable& terms) {
  // Sorting by 8-byte chunks, most significant first: each term is keyed
  // by its next 8 bytes (big-endian, zero-padded) and the keys are sorted;
  // runs of equal keys are keyed again by the following 8 bytes and sorted
  // among themselves, and so on. Terms hold no byte 0, so a term that ends
  // inside a chunk sorts before every longer term with the same bytes.
  // Each round reads only the terms still tied, so the work is the terms'
  // distinguishing prefixes, read 8 bytes at a time, never a comparison
  // that chases two terms through memory.
  struct Keyed {
    std::uint64_t key;
    std::uint32_t id;
  };
  const auto chunk = [&terms](std::uint32_t id, std::size_t at) {
    const std::string_view term = terms.term(id);
    std::uint64_t key = 0;
    for (std::size_t k = 0; k < 8; ++k) {
      const std::size_t i = at + k;
      key = key << 8 | (i < term.size() ? static_cast<unsigned char>(term[i]) : 0u);
    }
    return key;
  };
  std::vector<Keyed> keyed(terms.size());
  for (std::uint32_t id = 0; id < terms.size(); ++id) keyed[id] = {chunk(id, 0), id};
  const auto by_key = [](const Keyed& a, const Keyed& b) { return a.key < b.key; };
  struct Range {
    std::size_t begin;
    std::size_t end;
    std::size_t depth;  // bytes already equal within the range
  };
  std::vector<Range> pending{{0, keyed.size(), 0}};
  while (!pending.empty()) {
    const Range range = pending.back();
    pending.pop_back();
    const auto first = keyed.begin() + static_cast<std::ptrdiff_t>(range.begin);
    std::sort(first, keyed.begin() + static_cast<std::ptrdiff_t>(range.end), by_key);
    for (std::size_t i = range.begin; i < range.end;) {
      std::size_t j = i + 1;
      while (j < range.end && keyed[j].key == keyed[i].key) ++j;
      if (j - i > 1) {
        const std::size_t depth = range.depth + 8;
        for (std::size_t k = i; k < j; ++k) keyed[k].key = chunk(keyed[k].id, depth);
        pending.push_back({i, j, depth});
      }
      i = j;
    }
  }
  std::vector<std::uint32_t> order(terms.size());
  for (std::size_t k = 0; k < keyed.size(); ++k) order[k] = keyed[k].id;
  return order;
}

BuildInput lay_out(const TermTable& terms, const PairLog& log, const VideoTable& videos,
                   std::size_t video_top_n, const StepProgress& progress) {
  const std::size_t m = terms.size();
  const std::size_t work = 3 * m + 1;  // two passes and the payloads
  progress(m, work);

  // Pass 1: nodes per depth (depth 0 is the root).
  std::vector<std::size_t> per_depth{1};
  std::string_view previous;
  for (std::size_t k = 0; k < m; ++k) {
    const std::string_view term = terms.term(static_cast<std::uint32_t>(k));
    const Shared shared = shared_prefix(previous, term);
    std::size_t depth = shared.characters;
    for (std::size_t at = shared.bytes; at < term.size(); ++at) {
      if (is_continuation(term[at])) continue;
      if (++depth >= per_depth.size()) per_depth.push_back(0);
      ++per_depth[depth];
    }
    previous = term;
  }
  std::vector<std::size_t> next(per_depth.size());
  std::size_t n = 0;
  for (std::size_t d = 0; d < per_depth.size(); ++d) {
    next[d] = n;
    n += per_depth[d];
  }
  progress(2 * m, work);

  // Pass 2: numbers, labels, children counts (in node_shifts for now) and
  // the term that ends at each node.
  BuildInput input;
  input.child_labels.assign(n, 0);
  input.node_shifts.assign(n, 0);
  std::vector<std::uint32_t> term_of_node(n, kNoTerm);
  std::vector<std::uint32_t> path(per_depth.size(), 0);
  next[0] = 1;
  previous = {};
  for (std::size_t k = 0; k < m; ++k) {
    const std::string_view term = terms.term(static_cast<std::uint32_t>(k));
    const Shared shared = shared_prefix(previous, term);
    std::size_t depth = shared.characters;
    for (std::size_t at = shared.bytes; at < term.size();) {
      const char32_t c = decode(term, at);
      const auto node = static_cast<std::uint32_t>(next[++depth]++);
      input.child_labels[node] = c;
      ++input.node_shifts[path[depth - 1]];
      path[depth] = node;
    }
    term_of_node[path[depth]] = static_cast<std::uint32_t>(k);
    previous = term;
  }
  std::size_t running = 0;
  for (std::uint32_t& shift : input.node_shifts) {
    const std::size_t children = shift;
    shift = static_cast<std::uint32_t>(running);
    running += children;
  }
  input.child_transitions.resize(n - 1);
  for (std::size_t i = 1; i < n; ++i)
    input.child_transitions[i - 1] = static_cast<std::uint32_t>(i);

  // Payloads in node order, and the video table.
  const std::vector<std::uint32_t> final_position = videos.sorted_positions();
  input.payloads.reserve(n, log.size());
  PayloadMaker maker;
  std::size_t made = 0;
  for (std::size_t node = 0; node < n; ++node) {
    const std::uint32_t term = term_of_node[node];
    if (term == kNoTerm) {
      input.payloads.push_absent();
      continue;
    }
    maker.add(input.payloads, log.bucket(term), final_position);
    if (++made % kProgressStep == 0) progress(2 * m + made, work);
  }
  const std::vector<std::uint8_t> table = videos.sorted_bytes(final_position);
  const std::size_t width = videos.kind() == VideoKind::kInt ? 4 : 16;
  for (std::size_t at = 0; at < table.size(); at += width) {
    input.video_index.add(std::span<const std::uint8_t>(table).subspan(at, width));
  }
  input.video_top_n = video_top_n;
  progress(work, work);
  return input;
}

}  // namespace tessarin::builder
