#include "query/complete.h"

#include <algorithm>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

#include "query/node_info.h"
#include "search/completion_rows.h"
#include "search/dispatch.h"
#include "search/search_aids.h"
#include "search/transpositions.h"
#include "search/views.h"
#include "util/checked.h"

namespace tessarin {
namespace {

using walk_detail::CompletionRows;
using walk_detail::ExactHeadRows;
using walk_detail::kBeyond;

bool before(const Completion& a, const Completion& b) {
  if (a.distance != b.distance) return a.distance < b.distance;
  if (a.count != b.count) return a.count > b.count;
  if (a.term != b.term) return a.term < b.term;
  return a.node < b.node;
}

// Keeps the first `limit` of `found` in order.
void order(std::vector<Completion>& found, std::optional<std::size_t> limit) {
  if (limit && *limit < found.size()) {
    const auto cut = found.begin() + static_cast<std::ptrdiff_t>(*limit);
    std::partial_sort(found.begin(), cut, found.end(), before);
    found.erase(cut, found.end());
  } else {
    std::sort(found.begin(), found.end(), before);
  }
}

// The plain path: every completion, by path, then sorted.
template <class Edits>
Result<std::vector<Completion>> complete_plain(const Trie& trie, std::u32string_view text,
                                               const CompleteOptions& options, std::size_t head,
                                               CompleteStats& stats) {
  stats.plain = true;
  std::vector<Completion> found;
  const std::uint64_t bound = walk_detail::walk_bound(trie, text.size(), options.max_dist);
  const std::uint64_t root = head == 0 && text.size() <= bound ? text.size() : kBeyond;
  const auto wrap = [&](auto& rows) {
    using Rows = std::remove_reference_t<decltype(rows)>;
    return CompletionRows<ExactHeadRows<Rows>>(ExactHeadRows<Rows>(rows, text, head), bound, root);
  };
  const auto collect = [&](std::size_t node, std::uint32_t distance, std::u32string_view path) {
    Completion& entry = found.emplace_back();
    append_utf8(path, entry.term);
    entry.distance = distance;
    entry.count = own_count(trie, node);
    entry.node = node;
    return Walk::kGoOn;
  };
  const Result<std::size_t> walked = fuzzy_walk<true, Edits>(
      trie, text, options.max_dist, /*terminal_only=*/true, collect, RowEngine::kAuto, wrap);
  if (!walked.ok()) return walked.error();
  stats.rows += walked.value();
  ++stats.walks;
  order(found, options.limit);
  return found;
}

// A node reported by a round's walk: its subtree completes the text at
// `distance`, but for the seeds nested in it.
struct Seed {
  std::uint32_t node;
  std::uint32_t distance;
  std::size_t at;  // its term in the arena
  std::uint32_t size;
};

// The second step of the fast path (see the header): terms drawn best
// first from the subtrees of seeds.
class Draw {
 public:
  Draw(const Trie& trie, std::span<const std::uint32_t> best, std::size_t want,
       std::vector<Completion>& out, CompleteStats& stats)
      : view_(trie), trie_(trie), best_(best), want_(want), out_(out), stats_(stats) {}

  std::u32string& arena() { return arena_; }

  // Draws from the subtrees of the seeds whose distance is in [low, high],
  // leaving out the subtrees of every seed in `nested` (sorted node ids)
  // below them. Returns whether the limit is met.
  bool draw(std::span<const Seed> seeds, std::uint32_t low, std::uint32_t high,
            std::span<const std::uint32_t> nested) {
    nested_ = nested;
    heap_.clear();
    for (const Seed& seed : seeds) {
      if (seed.distance < low || seed.distance > high) continue;
      heap_.push_back({seed.distance, best_[seed.node], seed.node, 0, seed.at, seed.size, false});
    }
    std::make_heap(heap_.begin(), heap_.end(), later());
    while (!heap_.empty() && out_.size() < want_) {
      std::pop_heap(heap_.begin(), heap_.end(), later());
      const Entry top = heap_.back();
      heap_.pop_back();
      if (top.term) {
        emit(top);
      } else {
        expand(top);
      }
    }
    return out_.size() >= want_;
  }

 private:
  // A subtree (its node's) or a term on the queue. Its text is the arena's
  // characters [at, at + size), then `last` unless 0.
  struct Entry {
    std::uint32_t distance;
    std::uint32_t value;  // the subtree's bound, or the term's own count
    std::uint32_t node;
    char32_t last;
    std::size_t at;
    std::uint32_t size;
    bool term;
  };

  [[nodiscard]] char32_t char_at(const Entry& e, std::size_t i) const {
    return i < e.size ? arena_[e.at + i] : e.last;
  }

  // Code point order of the two entries' texts: < 0, 0 or > 0.
  [[nodiscard]] int compare_text(const Entry& a, const Entry& b) const {
    const std::size_t na = a.size + (a.last != 0 ? 1 : 0);
    const std::size_t nb = b.size + (b.last != 0 ? 1 : 0);
    for (std::size_t i = 0; i < std::min(na, nb); ++i) {
      const char32_t ca = char_at(a, i);
      const char32_t cb = char_at(b, i);
      if (ca != cb) return ca < cb ? -1 : 1;
    }
    return na < nb ? -1 : na > nb ? 1 : 0;
  }

  // Whether `a` comes off the queue before `b`.
  [[nodiscard]] bool first(const Entry& a, const Entry& b) const {
    if (a.distance != b.distance) return a.distance < b.distance;
    if (a.value != b.value) return a.value > b.value;
    const int text = compare_text(a, b);
    if (text != 0) return text < 0;
    if (a.term != b.term) return b.term;
    return a.node < b.node;
  }

  // The heap's order: the entry that comes off first on top.
  struct Later {
    const Draw* draw;
    bool operator()(const Entry& a, const Entry& b) const { return draw->first(b, a); }
  };
  [[nodiscard]] Later later() const { return Later{this}; }

  void push(const Entry& entry) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), later());
  }

  void emit(const Entry& e) {
    Completion& c = out_.emplace_back();
    append_utf8(std::u32string_view(arena_).substr(e.at, e.size), c.term);
    if (e.last != 0) append_utf8(std::u32string_view(&e.last, 1), c.term);
    c.distance = e.distance;
    c.count = e.value;
    c.node = e.node;
  }

  // Pushes the node's own term and its children that are no seeds; a
  // child without children is pushed as its term, if it is one.
  void expand(const Entry& e) {
    ++stats_.expanded;
    std::size_t at = e.at;
    std::uint32_t size = e.size;
    if (e.last != 0) {  // the node's text, spelled out once for its children
      at = arena_.size();
      arena_.resize(at + e.size + 1);
      std::copy_n(arena_.begin() + static_cast<std::ptrdiff_t>(e.at), e.size,
                  arena_.begin() + static_cast<std::ptrdiff_t>(at));
      arena_[at + e.size] = e.last;
      size = e.size + 1;
    }
    if (e.node != 0 && view_.terminal(e.node)) {
      push({e.distance, own_count(trie_, e.node), e.node, 0, at, size, true});
    }
    const ChildRange range = view_.children(e.node);
    stats_.children += range.end - range.begin;
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const auto child = static_cast<std::uint32_t>(view_.child(p));
      const char32_t label = view_.label(child);
      if (label == 0) continue;
      if (!nested_.empty() && std::binary_search(nested_.begin(), nested_.end(), child)) continue;
      const ChildRange below = view_.children(child);
      if (below.begin == below.end) {
        // A leaf: its bound is its own count.
        if (view_.terminal(child)) push({e.distance, best_[child], child, label, at, size, true});
        continue;
      }
      push({e.distance, best_[child], child, label, at, size, false});
    }
  }

  walk_detail::TrieView<false> view_;  // a verified tree: plain reads
  const Trie& trie_;
  std::span<const std::uint32_t> best_;
  std::size_t want_;
  std::vector<Completion>& out_;
  CompleteStats& stats_;
  std::u32string arena_;
  std::vector<Entry> heap_;
  std::span<const std::uint32_t> nested_;
};

// The bounds the rounds walk at (see the header): 0, 1, 2, 3, then `last`.
std::vector<std::uint32_t> rounds(std::uint32_t last) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t b = 0; b <= std::min<std::uint32_t>(last, 3); ++b) out.push_back(b);
  if (last > 3) out.push_back(last);
  return out;
}

template <class Edits>
Result<std::vector<Completion>> complete_fast(const Trie& trie, std::u32string_view text,
                                              const CompleteOptions& options, std::size_t head,
                                              CompleteStats& stats) {
  const std::span<const std::uint32_t> best = trie.derived().subtree_bounds(trie).best;
  const std::uint64_t m = text.size();
  const std::uint64_t k = options.max_dist;
  std::vector<Completion> out;
  Draw draw(trie, best, options.limit.value_or(std::numeric_limits<std::size_t>::max()), out,
            stats);
  // The root completes the text at distance m (the empty prefix) when no
  // head is asked; the walk then runs below it, under m.
  const bool root_seed = head == 0 && m <= k;
  const std::uint64_t reach = head == 0 ? (m == 0 ? 0 : std::min(k, m - 1)) : std::min(k, m - head);
  const bool walks = head > 0 || m > 0;

  std::vector<Seed> seeds;
  std::vector<std::uint32_t> nested;
  std::uint64_t low = 0;
  for (const std::uint32_t bound :
       walks ? rounds(static_cast<std::uint32_t>(reach)) : std::vector<std::uint32_t>{}) {
    std::u32string& arena = draw.arena();
    arena.clear();
    seeds.clear();
    const auto visit = [&](std::size_t node, std::uint32_t distance, std::u32string_view path) {
      seeds.push_back({static_cast<std::uint32_t>(node), distance, arena.size(),
                       static_cast<std::uint32_t>(path.size())});
      arena.append(path);
      return Steer{Walk::kGoOn, distance};
    };
    const auto wrap = [&](auto& rows) {
      return ExactHeadRows<std::remove_reference_t<decltype(rows)>>(rows, text, head);
    };
    const Result<std::size_t> walked = search_walk<true, Edits>(
        trie, text, bound, /*terminal_only=*/false, visit, SearchEngine::kFilter, nullptr, wrap);
    if (!walked.ok()) return walked.error();
    stats.rows += walked.value();
    ++stats.walks;
    nested.clear();
    for (const Seed& seed : seeds) nested.push_back(seed.node);
    std::sort(nested.begin(), nested.end());
    if (draw.draw(seeds, static_cast<std::uint32_t>(low), bound, nested)) return out;
    low = std::uint64_t{bound} + 1;
  }
  if (root_seed) {
    const Seed root{0, static_cast<std::uint32_t>(m), 0, 0};
    draw.draw(std::span<const Seed>(&root, 1), static_cast<std::uint32_t>(m),
              static_cast<std::uint32_t>(m), nested);
  }
  return out;
}

template <class Edits>
Result<std::vector<Completion>> complete_with(const Trie& trie, std::u32string_view text,
                                              const CompleteOptions& options,
                                              CompleteStats& stats) {
  const std::size_t head = std::min(options.exact_prefix, text.size());
  if (options.engine == CompleteEngine::kAuto && trie.derived().tree(trie).tree) {
    return catch_internal([&]() -> Result<std::vector<Completion>> {
      return complete_fast<Edits>(trie, text, options, head, stats);
    });
  }
  return complete_plain<Edits>(trie, text, options, head, stats);
}

}  // namespace

Result<std::vector<Completion>> complete(const Trie& trie, std::u32string_view text,
                                         const CompleteOptions& options, CompleteStats* stats) {
  CompleteStats ignored;
  CompleteStats& counted = stats != nullptr ? *stats : ignored;
  if ((options.limit && *options.limit == 0) || trie.node_count() == 0) {
    return std::vector<Completion>{};
  }
  if (options.distance == Distance::kOsa) {
    return complete_with<Transpositions>(trie, text, options, counted);
  }
  return complete_with<Levenshtein>(trie, text, options, counted);
}

}  // namespace tessarin
