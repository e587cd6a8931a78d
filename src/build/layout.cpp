#include "build/layout.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "index/propagation.h"
#include "index/validation.h"
#include "util/checked.h"

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

// A term's payload: its total and its videos in payload order
// (index/payload.h); the bucket holds each pair's entries adjacent.
struct PayloadMaker {
  std::vector<VideoSum> sums;
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> counts;
  std::uint32_t total = 0;

  // Fills ids, counts and total.
  void make(std::span<const PairEntry> bucket) {
    sums.clear();
    std::uint64_t sum_of_all = 0;
    for (std::size_t k = 0; k < bucket.size();) {
      const std::uint32_t video = bucket[k].video;
      std::uint64_t sum = 0;
      for (; k < bucket.size() && bucket[k].video == video; ++k) sum += bucket[k].count;
      sum_of_all += sum;
      sums.push_back({video, sum});
    }
    ids.clear();
    counts.clear();
    append_in_payload_order(sums, sums.size(), ids, counts);
    total = static_cast<std::uint32_t>(std::min<std::uint64_t>(sum_of_all, 0xFFFFFFFFu));
  }
  [[nodiscard]] PayloadView view() const { return {total, ids, counts}; }
};

// The trie's shape: what the two passes over the sorted terms find.
struct Shape {
  std::vector<char32_t> labels;
  std::vector<std::uint32_t> children;      // per node
  std::vector<std::uint32_t> term_of_node;  // kNoTerm where no term ends
  std::vector<std::size_t> level_begin;     // per depth, and the node count last
};

Shape shape_of(const TermTable& terms, const StepProgress& progress, std::size_t work) {
  const std::size_t m = terms.size();
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
  Shape shape;
  std::size_t n = 0;
  for (const std::size_t count : per_depth) {
    shape.level_begin.push_back(n);
    n += count;
  }
  shape.level_begin.push_back(n);
  progress(m, work);

  // Pass 2: numbers, labels, children counts and the term that ends at
  // each node.
  std::vector<std::size_t> next(shape.level_begin.begin(), shape.level_begin.end() - 1);
  shape.labels.assign(n, 0);
  shape.children.assign(n, 0);
  shape.term_of_node.assign(n, kNoTerm);
  std::vector<std::uint32_t> path(per_depth.size(), 0);
  previous = {};
  for (std::size_t k = 0; k < m; ++k) {
    const std::string_view term = terms.term(static_cast<std::uint32_t>(k));
    const Shared shared = shared_prefix(previous, term);
    std::size_t depth = shared.characters;
    for (std::size_t at = shared.bytes; at < term.size();) {
      const char32_t c = decode(term, at);
      const auto node = static_cast<std::uint32_t>(next[++depth]++);
      shape.labels[node] = c;
      ++shape.children[path[depth - 1]];
      path[depth] = node;
    }
    shape.term_of_node[path[depth]] = static_cast<std::uint32_t>(k);
    previous = term;
  }
  progress(2 * m, work);
  return shape;
}

// node_shifts from the children counts: their running sum.
std::vector<std::uint32_t> shifts_of(const std::vector<std::uint32_t>& children) {
  std::vector<std::uint32_t> shifts(children.size());
  std::size_t running = 0;
  for (std::size_t i = 0; i < children.size(); ++i) {
    shifts[i] = static_cast<std::uint32_t>(running);
    running += children[i];
  }
  return shifts;
}

std::vector<std::uint32_t> transitions_of(std::size_t n) {
  std::vector<std::uint32_t> transitions(n - 1);
  for (std::size_t i = 1; i < n; ++i) transitions[i - 1] = static_cast<std::uint32_t>(i);
  return transitions;
}

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
  Shape shape = shape_of(terms, progress, work);
  const std::size_t n = shape.labels.size();
  BuildInput input;
  input.child_labels = std::move(shape.labels);
  input.node_shifts = shifts_of(shape.children);
  input.child_transitions = transitions_of(n);

  // Payloads in node order, and the video table.
  input.payloads.reserve(n, log.size());
  PayloadMaker maker;
  std::size_t made = 0;
  for (std::size_t node = 0; node < n; ++node) {
    const std::uint32_t term = shape.term_of_node[node];
    if (term == kNoTerm) {
      input.payloads.push_absent();
      continue;
    }
    maker.make(log.bucket(term));
    input.payloads.push(maker.total, maker.ids, maker.counts);
    if (++made % kProgressStep == 0) progress(2 * m + made, work);
  }
  std::vector<std::uint32_t> identity(videos.size());
  for (std::uint32_t k = 0; k < identity.size(); ++k) identity[k] = k;
  const std::vector<std::uint8_t> table = videos.sorted_bytes(identity);
  const std::size_t width = videos.kind() == IdMode::Int32 ? 4 : 16;
  for (std::size_t at = 0; at < table.size(); at += width) {
    input.video_index.add(std::span<const std::uint8_t>(table).subspan(at, width));
  }
  input.video_top_n = video_top_n;
  progress(work, work);
  return input;
}

Trie build_trie(TermTable& terms, PairLog& log, const VideoTable& videos, std::size_t video_top_n,
                const StepProgress& progress, bool release) {
  const std::size_t m = terms.size();
  Shape shape = shape_of(terms, progress, 3 * m + 1);
  if (release) terms = TermTable();
  const std::size_t n = shape.labels.size();
  const std::size_t depths = shape.level_begin.size() - 1;
  const std::size_t work = 3 * m + 1 + n;

  // Propagation, one depth at a time from the deepest, each node by the
  // one PropagationStep (index/propagation.h) from its own list (made from
  // the pair log, in payload order) and its children's results. The
  // children of one depth's nodes are the next depth's nodes, in the same
  // order, so one cursor walks them.
  //
  // Results are kept in segments of consecutive depths (a new one once the
  // last holds kSegmentNodes nodes), so that a deep trie (one long term is
  // one depth per character) costs a few numbers per depth, while the
  // final table, filled from the root's depth down, can free each segment
  // as soon as its deepest depth is copied.
  struct Segment {
    std::vector<std::uint32_t> totals;
    std::vector<std::uint32_t> lengths;
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> counts;
  };
  struct Place {
    std::uint32_t segment = 0;
    std::uint32_t node = 0;   // the depth's first node within its segment
    std::uint64_t entry = 0;  // and where its first list starts
  };
  constexpr std::size_t kSegmentNodes = std::size_t{1} << 16;
  std::vector<Segment> segments;
  std::vector<Place> places(depths);
  PayloadMaker maker;
  PropagationStep step(video_top_n);
  std::vector<ChildList> children;
  std::size_t done = 0;
  for (std::size_t d = depths; d-- > 0;) {
    if (segments.empty() || segments.back().totals.size() >= kSegmentNodes) segments.emplace_back();
    Segment& out = segments.back();
    places[d] = {static_cast<std::uint32_t>(segments.size() - 1),
                 static_cast<std::uint32_t>(out.totals.size()), out.ids.size()};
    const Place* below_place = d + 1 < depths ? &places[d + 1] : nullptr;
    const Segment* below = below_place != nullptr ? &segments[below_place->segment] : nullptr;
    std::size_t child = below_place != nullptr ? below_place->node : 0;
    std::size_t entry = below_place != nullptr ? below_place->entry : 0;
    const std::size_t level_end = shape.level_begin[d + 1];
    for (std::size_t i = shape.level_begin[d]; i < level_end; ++i) {
      // The pairs of the terms a few nodes ahead, loaded meanwhile.
      if (i + 16 < level_end && shape.term_of_node[i + 16] != kNoTerm) {
        log.prefetch_begin(shape.term_of_node[i + 16]);
      }
      if (i + 8 < level_end && shape.term_of_node[i + 8] != kNoTerm) {
        log.prefetch(shape.term_of_node[i + 8]);
      }
      PayloadView own;
      if (shape.term_of_node[i] != kNoTerm) {
        maker.make(log.bucket(shape.term_of_node[i]));
        own = maker.view();
      }
      // Every list made here is in payload order: a term's own (the
      // maker's) and every step's result.
      children.clear();
      for (std::uint32_t c = 0; c < shape.children[i]; ++c, ++child) {
        const std::uint32_t length = below->lengths[child];
        children.push_back({{below->totals[child],
                             std::span<const std::uint32_t>(below->ids).subspan(entry, length),
                             std::span<const std::uint32_t>(below->counts).subspan(entry, length)},
                            true});
        entry += length;
      }
      const std::size_t before = out.ids.size();
      out.totals.push_back(step.run(own, true, children, out.ids, out.counts).total);
      out.lengths.push_back(static_cast<std::uint32_t>(out.ids.size() - before));
      if (++done % kProgressStep == 0) progress(3 * m + 1 + done, work);
    }
  }
  if (release) log.clear();

  // The final table in node order, each segment freed once copied.
  TrieArrays trie;
  std::size_t entries = 0;
  for (const Segment& segment : segments) entries += segment.ids.size();
  trie.payloads.reserve(n, entries);
  for (std::size_t d = 0; d < depths; ++d) {
    const Place place = places[d];
    Segment& segment = segments[place.segment];
    std::size_t at = place.entry;
    const std::size_t count = shape.level_begin[d + 1] - shape.level_begin[d];
    for (std::size_t k = place.node; k < place.node + count; ++k) {
      const std::size_t length = segment.lengths[k];
      trie.payloads.push(segment.totals[k],
                         std::span<const std::uint32_t>(segment.ids).subspan(at, length),
                         std::span<const std::uint32_t>(segment.counts).subspan(at, length));
      at += length;
    }
    // A segment's deepest depth is its first, which is copied last.
    if (place.node == 0) segment = Segment();
  }
  trie.is_terminal.resize(n);
  for (std::size_t i = 0; i < n; ++i) trie.is_terminal[i] = shape.term_of_node[i] != kNoTerm;
  std::vector<std::uint32_t>().swap(shape.term_of_node);
  trie.node_shifts = shifts_of(shape.children);
  std::vector<std::uint32_t>().swap(shape.children);
  trie.child_labels = std::move(shape.labels);
  trie.child_transitions = transitions_of(n);
  if (videos.kind() == IdMode::Int32) {
    trie.id_mode = IdMode::Int32;
    trie.video_int_ids = videos.ints();
  } else if (videos.kind() == IdMode::Uuid) {
    trie.video_uuids = videos.uuids();
  }
  progress(work, work);
  // A tree by construction (numbered breadth-first, each node its parent's
  // child once), checked all the same: the level is the index's for good,
  // and its search aids need not check it again. (It is consistent too, as
  // the core tests check; that level costs some 4x the tree's, about 3 %
  // of a build, which a build does not need to pay.)
  std::variant<Trie, Fault> made = Trie::checked(std::move(trie), Trust::kTree);
  if (const Fault* fault = std::get_if<Fault>(&made)) {
    fail_internal("the layout broke the index: " + describe(*fault));
  }
  return std::get<Trie>(std::move(made));
}

}  // namespace tessarin::builder
