#include "query/complete.h"

#include <algorithm>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

#include "query/node_info.h"
#include "query/term_order.h"
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
  keep_closest(found, options.limit);
  return found;
}

// The terms of one round (see the header): those at one distance, drawn
// best first from the subtrees of the round's seeds as the walk reports
// them, the best `want` kept.
class Draw {
 public:
  Draw(const Trie& trie, std::span<const std::uint32_t> best, CompleteStats& stats)
      : view_(trie), trie_(trie), best_(best), stats_(stats) {}

  // Starts a round: terms at `distance`, at most `want`, none from the
  // subtrees of the nodes in `nested` (sorted), which are closer.
  void begin(std::uint32_t distance, std::size_t want, std::span<const std::uint32_t> nested) {
    distance_ = distance;
    want_ = want;
    nested_ = nested;
    kept_.clear();
    arena_.clear();
  }

  // Whether the subtree of `node` may hold a term that the round keeps.
  [[nodiscard]] bool admits(std::size_t node) const {
    return kept_.size() < want_ || best_[node] >= kept_.front().value;
  }

  // Draws from the subtree of a seed whose term is `text`, until the next
  // term could not be kept.
  void seed(std::uint32_t node, std::u32string_view text) {
    const std::size_t at = arena_.size();
    arena_.append(text);
    queue_.assign(1, {best_[node], node, 0, at, static_cast<std::uint32_t>(text.size()), false});
    while (!queue_.empty()) {
      const Entry& top = queue_.front();
      if (kept_.size() >= want_ && !first(top, kept_.front())) break;
      std::pop_heap(queue_.begin(), queue_.end(), Later{this});
      const Entry next = queue_.back();
      queue_.pop_back();
      if (next.term) {
        keep(next);
      } else {
        expand(next);
      }
    }
    queue_.clear();
  }

  // Appends the round's terms to `out`, in order.
  void end(std::vector<Completion>& out) {
    std::sort_heap(kept_.begin(), kept_.end(), First{this});
    for (const Entry& e : kept_) {
      Completion& c = out.emplace_back();
      append_utf8(std::u32string_view(arena_).substr(e.at, e.size), c.term);
      if (e.last != 0) append_utf8(std::u32string_view(&e.last, 1), c.term);
      c.distance = distance_;
      c.count = e.value;
      c.node = e.node;
    }
  }

 private:
  // A subtree (its node's) or a term. Its text is the arena's characters
  // [at, at + size), then `last` unless 0.
  struct Entry {
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

  // Whether `a` comes before `b`: the greater count or bound, then the
  // lesser text (a subtree's text precedes every term in it), a subtree
  // before a term of the same text, then the node.
  [[nodiscard]] bool first(const Entry& a, const Entry& b) const {
    if (a.value != b.value) return a.value > b.value;
    const int text = compare_text(a, b);
    if (text != 0) return text < 0;
    if (a.term != b.term) return b.term;
    return a.node < b.node;
  }

  struct First {
    const Draw* draw;
    bool operator()(const Entry& a, const Entry& b) const { return draw->first(a, b); }
  };
  // The queue's order: the entry that comes first on top.
  struct Later {
    const Draw* draw;
    bool operator()(const Entry& a, const Entry& b) const { return draw->first(b, a); }
  };

  // Keeps a term, the worst kept on top of kept_ (a heap in First order).
  void keep(const Entry& e) {
    if (kept_.size() >= want_) {
      std::pop_heap(kept_.begin(), kept_.end(), First{this});
      kept_.pop_back();
    }
    kept_.push_back(e);
    std::push_heap(kept_.begin(), kept_.end(), First{this});
  }

  void push(const Entry& entry) {
    queue_.push_back(entry);
    std::push_heap(queue_.begin(), queue_.end(), Later{this});
  }

  // Queues the node's own term and its children that may hold a term the
  // round keeps, and are not closer seeds; a child without children is
  // queued as its term, if it is one.
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
      push({own_count(trie_, e.node), e.node, 0, at, size, true});
    }
    const ChildRange range = view_.children(e.node);
    stats_.children += range.end - range.begin;
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const auto child = static_cast<std::uint32_t>(view_.child(p));
      const char32_t label = view_.label(child);
      if (label == 0 || !admits(child)) continue;
      if (!nested_.empty() && std::binary_search(nested_.begin(), nested_.end(), child)) continue;
      const ChildRange below = view_.children(child);
      if (below.begin == below.end) {
        // A leaf: its bound is its own count.
        if (view_.terminal(child)) push({best_[child], child, label, at, size, true});
        continue;
      }
      push({best_[child], child, label, at, size, false});
    }
  }

  walk_detail::TrieView<false> view_;  // a verified tree: plain reads
  const Trie& trie_;
  std::span<const std::uint32_t> best_;
  CompleteStats& stats_;
  std::uint32_t distance_ = 0;
  std::size_t want_ = 0;
  std::span<const std::uint32_t> nested_;
  std::u32string arena_;
  std::vector<Entry> queue_;
  std::vector<Entry> kept_;
};

// A round's walk visitor: hands each node at the round's distance to the
// draw as a seed and never goes below a node it reports (below lie only
// closer seeds, found by earlier rounds); lets the draw gate the walk.
struct RoundVisitor {
  Draw& draw;
  std::uint32_t distance;
  std::vector<std::uint32_t>& found;

  Steer operator()(std::size_t node, std::uint32_t d, std::u32string_view path) {
    if (d == distance) {
      found.push_back(static_cast<std::uint32_t>(node));
      draw.seed(static_cast<std::uint32_t>(node), path);
    }
    return Steer{Walk::kGoOn, 0};
  }
  [[nodiscard]] bool admits(std::size_t node) const { return draw.admits(node); }
};

template <class Edits>
Result<std::vector<Completion>> complete_fast(const Trie& trie, std::u32string_view text,
                                              const CompleteOptions& options, std::size_t head,
                                              CompleteStats& stats) {
  const std::span<const std::uint32_t> best = trie.derived().subtree_bounds(trie);
  const std::uint64_t m = text.size();
  const std::uint64_t k = options.max_dist;
  const std::size_t want = options.limit.value_or(std::numeric_limits<std::size_t>::max());
  std::vector<Completion> out;
  Draw draw(trie, best, stats);
  // With no head asked, the root completes the text at distance m (the
  // empty prefix); the walks then run below it, under m. With a head, the
  // node of the head completes it at m - head, and nothing else can.
  const std::uint64_t last = head == 0 ? std::min(k, m) : std::min(k, m - head);
  std::vector<std::uint32_t> nested;  // the seeds of the rounds so far, sorted
  std::vector<std::uint32_t> found;
  for (std::uint64_t d = 0; d <= last; ++d) {
    const auto distance = static_cast<std::uint32_t>(d);
    draw.begin(distance, want - out.size(), nested);
    found.clear();
    if (head == 0 && d == m) {
      draw.seed(0, std::u32string_view());
    } else {
      RoundVisitor visit{draw, distance, found};
      const auto wrap = [&](auto& rows) {
        return ExactHeadRows<std::remove_reference_t<decltype(rows)>>(rows, text, head);
      };
      const Result<std::size_t> walked =
          head == 0 ? search_walk<true, Edits>(trie, text, distance, /*terminal_only=*/false, visit,
                                               SearchEngine::kFilter)
                    : search_walk<true, Edits>(trie, text, distance, /*terminal_only=*/false, visit,
                                               SearchEngine::kFilter, nullptr, wrap);
      if (!walked.ok()) return walked.error();
      stats.rows += walked.value();
      ++stats.walks;
    }
    draw.end(out);
    // A round that held all it wanted ends the call; one that did not was
    // never gated, so its walk reported every seed at its distance.
    if (out.size() >= want) break;
    std::sort(found.begin(), found.end());
    const std::size_t middle = nested.size();
    nested.insert(nested.end(), found.begin(), found.end());
    std::inplace_merge(nested.begin(), nested.begin() + static_cast<std::ptrdiff_t>(middle),
                       nested.end());
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
