// The fast search (search_walk: the child filter, the descent for max_dist
// 0, the forward-backward passes) against the plain walk it must reproduce;
// visitors that steer the walk, on every path, against a plain model.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "check.h"
#include "index/trie.h"
#include "search/matcher.h"
#include "util/scratch.h"

using tessarin::RowEngine;
using tessarin::SearchEngine;
using tessarin::SearchPath;
using tessarin::Steer;
using tessarin::Trie;
using tessarin::TrieArrays;
using tessarin::Walk;
using namespace std::string_literals;

namespace {

using Visit = std::tuple<std::size_t, std::uint32_t, std::u32string>;

struct Outcome {
  bool ok = true;
  std::string error;
  std::vector<Visit> visits;
  bool operator==(const Outcome&) const = default;
};

// The walk's visits, the visitor stopping after `stop_after` of them.
Outcome run(const Trie& trie, std::u32string_view q, std::uint32_t max_dist, bool terminal_only,
            SearchEngine engine, std::size_t stop_after, SearchPath* taken = nullptr) {
  Outcome out;
  auto walked = tessarin::search_walk<true>(
      trie, q, max_dist, terminal_only,
      [&](std::size_t node, std::uint32_t d, std::u32string_view path) {
        out.visits.emplace_back(node, d, std::u32string(path));
        return out.visits.size() >= stop_after ? Walk::kStop : Walk::kGoOn;
      },
      engine, taken);
  out.ok = walked.ok();
  if (!out.ok) {
    out.error = walked.error().message;
    out.visits.clear();
  }
  return out;
}

const std::u32string kAlphabet = U"ab\u00e9\U0001F600";

// A random tree (or, with `tree` false, child lists that share nodes),
// numbered in no particular order: node ids shuffled, children listed in
// random order, some sibling labels repeated, some labels 0.
Trie random_index(std::mt19937& rng, bool tree) {
  const std::size_t n = 2 + rng() % 160;
  std::vector<std::size_t> parent(n, 0);
  for (std::size_t v = 1; v < n; ++v) {
    // Mostly recent parents, so paths get deep.
    const std::size_t back = 1 + rng() % std::min<std::size_t>(v, rng() % 3 == 0 ? v : 4);
    parent[v] = v - back;
  }
  std::vector<std::uint32_t> id(n);
  std::iota(id.begin(), id.end(), 0);
  std::shuffle(id.begin() + 1, id.end(), rng);
  std::vector<std::vector<std::uint32_t>> children(n);
  for (std::size_t v = 1; v < n; ++v) children[id[parent[v]]].push_back(id[v]);
  for (auto& kids : children) std::shuffle(kids.begin(), kids.end(), rng);
  if (!tree) {
    for (int extra = 0; extra < 2; ++extra) {
      children[rng() % n].push_back(static_cast<std::uint32_t>(rng() % n));
    }
  }
  TrieArrays trie;
  for (const auto& kids : children) {
    trie.node_shifts.push_back(static_cast<std::uint32_t>(trie.child_transitions.size()));
    trie.child_transitions.insert(trie.child_transitions.end(), kids.begin(), kids.end());
  }
  for (std::size_t i = 0; i < n; ++i) {
    trie.child_labels.push_back(rng() % 40 == 0 ? U'\0' : kAlphabet[rng() % kAlphabet.size()]);
    trie.is_terminal.push_back(rng() % 3 != 0 ? 1 : 0);
    trie.payloads.push_absent();
  }
  return rng() % 2 == 0 ? Trie(std::move(trie)) : Trie::with_checked_reads(std::move(trie));
}

// A query near the index's terms: a random node's term with a few edits,
// or random text.
std::u32string random_query(std::mt19937& rng, const Trie& trie) {
  std::u32string q;
  if (rng() % 4 == 0) {
    const std::size_t m = rng() % 12;
    for (std::size_t i = 0; i < m; ++i) q.push_back(kAlphabet[rng() % kAlphabet.size()]);
    return q;
  }
  // Walk down from the root along random children.
  std::size_t node = 0;
  for (std::size_t depth = 0; depth < 14; ++depth) {
    const std::size_t begin = trie.node_shifts()[node];
    const std::size_t end = node + 1 < trie.node_shifts().size() ? trie.node_shifts()[node + 1]
                                                                 : trie.child_transitions().size();
    if (end <= begin || rng() % 8 == 0) break;
    node = trie.child_transitions()[begin + rng() % (end - begin)];
    q.push_back(trie.child_labels()[node]);
  }
  for (std::size_t edits = rng() % 4; edits > 0; --edits) {
    const std::size_t at = q.empty() ? 0 : rng() % q.size();
    switch (rng() % 3) {
      case 0:
        q.insert(q.begin() + static_cast<std::ptrdiff_t>(at), kAlphabet[rng() % kAlphabet.size()]);
        break;
      case 1:
        if (!q.empty()) q.erase(at, 1);
        break;
      default:
        if (!q.empty()) q[at] = kAlphabet[rng() % kAlphabet.size()];
    }
  }
  return q;
}

}  // namespace

TEST(fast_search_reproduces_the_plain_walk) {
  std::mt19937 rng(2024);
  std::size_t paths[3] = {0, 0, 0};
  for (int round = 0; round < 6000; ++round) {
    const bool tree = round % 5 != 0;
    const Trie trie = random_index(rng, tree);
    const std::u32string q = random_query(rng, trie);
    const std::uint32_t max_dist = rng() % 5;
    for (const bool terminal_only : {true, false}) {
      const std::size_t stop_after = rng() % 3 == 0 ? 1 + rng() % 4 : SIZE_MAX;
      const Outcome plain = run(trie, q, max_dist, terminal_only, SearchEngine::kPlain, stop_after);
      SearchPath taken = SearchPath::kPlain;
      const Outcome fast =
          run(trie, q, max_dist, terminal_only, SearchEngine::kAuto, stop_after, &taken);
      const Outcome filtered =
          run(trie, q, max_dist, terminal_only, SearchEngine::kFilter, stop_after);
      CHECK(fast == plain);
      CHECK(filtered == plain);
      ++paths[static_cast<int>(taken)];
      if (fast != plain) return;  // one report is enough
    }
  }
  // Every path was exercised.
  CHECK(paths[0] > 100 && paths[1] > 100 && paths[2] > 100);
}

TEST(fast_search_worked_examples) {
  // root -> b -> a -> t, root -> c -> a -> {t, r -> t}: bat, cat, car, cart.
  TrieArrays arrays;
  // 0 root, 1 b, 2 c, 3 ba, 4 ca, 5 bat, 6 cat, 7 car, 8 cart
  const std::vector<std::vector<std::uint32_t>> children = {{1, 2}, {3}, {4}, {5}, {6, 7},
                                                            {},     {},  {8}, {}};
  for (const auto& kids : children) {
    arrays.node_shifts.push_back(static_cast<std::uint32_t>(arrays.child_transitions.size()));
    arrays.child_transitions.insert(arrays.child_transitions.end(), kids.begin(), kids.end());
  }
  arrays.child_labels = {U'\0', U'b', U'c', U'a', U'a', U't', U't', U'r', U't'};
  arrays.is_terminal = {0, 0, 0, 0, 0, 1, 1, 1, 1};
  for (int i = 0; i < 9; ++i) arrays.payloads.push_absent();
  const Trie trie = Trie::with_checked_reads(std::move(arrays));

  SearchPath taken = SearchPath::kPlain;
  // cat within 1, in preorder: bat (1), cat (0), car (1), cart (1).
  const Outcome cat = run(trie, U"cat", 1, true, SearchEngine::kAuto, SIZE_MAX, &taken);
  CHECK(taken == SearchPath::kForwardBackward);
  CHECK(cat.visits ==
        (std::vector<Visit>{{5, 1, U"bat"}, {6, 0, U"cat"}, {7, 1, U"car"}, {8, 1, U"cart"}}));
  // A limit keeps the first matches of the preorder, not the closest.
  CHECK(run(trie, U"cat", 1, true, SearchEngine::kAuto, 1).visits ==
        (std::vector<Visit>{{5, 1, U"bat"}}));
  // max_dist 0: a descent along the query.
  const Outcome car = run(trie, U"car", 0, false, SearchEngine::kAuto, SIZE_MAX, &taken);
  CHECK(taken == SearchPath::kFiltered);
  CHECK(car.visits == (std::vector<Visit>{{7, 0, U"car"}}));
  // An insertion right at the split (cart: "ca" + "rt" against "cat"+"t").
  CHECK(run(trie, U"catt", 2, true, SearchEngine::kAuto, SIZE_MAX).visits ==
        run(trie, U"catt", 2, true, SearchEngine::kPlain, SIZE_MAX).visits);
}

TEST(derived_structures_follow_the_index) {
  // root -> x -> y, root -> z; node ids not in preorder.
  TrieArrays arrays;
  arrays.node_shifts = {0, 2, 3, 3};
  arrays.child_transitions = {3, 1, 2};  // root: z (3) then x (1); x: y (2)
  arrays.child_labels = {U'\0', U'x', U'y', U'z'};
  arrays.is_terminal = {0, 1, 1, 1};
  for (int i = 0; i < 4; ++i) arrays.payloads.push_absent();
  const Trie trie(arrays);
  const tessarin::TreeAids& aids = trie.derived().tree(trie);
  CHECK(aids.tree);
  CHECK(std::ranges::equal(aids.preorder, std::vector<std::uint32_t>{0, 2, 3, 1}));
  CHECK(std::ranges::equal(aids.by_label, std::vector<std::uint32_t>{1, 0, 2}));  // x before z
  const tessarin::ReversedTrie& reversed = trie.derived().reversed(trie);
  // Reversed terms z, x and yx: root -> {x, y -> x, z}, breadth-first.
  std::u32string labels;
  std::vector<std::uint32_t> first_child;
  for (const auto& entry : reversed.entries) {
    labels.push_back(entry.label());
    first_child.push_back(entry.first_child);
  }
  CHECK(labels == U"\0xyzx\0"s);
  CHECK(first_child == (std::vector<std::uint32_t>{1, 4, 4, 5, 5, 5}));
  CHECK(std::ranges::equal(reversed.nodes, std::vector<std::uint32_t>{1, 3, 2}));
  CHECK(trie.memory_bytes() > 0);
  // A copy derives again; a shared child is not a tree.
  const Trie copy = trie;  // NOLINT(performance-unnecessary-copy-initialization)
  CHECK(copy.derived().memory_bytes() == 0);
  arrays.child_transitions = {3, 1, 3};
  const Trie shared(arrays);
  CHECK(!shared.derived().tree(shared).tree);
}

TEST(a_fresh_index_derives_once_under_concurrent_queries) {
  // Threads query one fresh index at once: each derives or waits for the
  // one derivation, and all answer as the plain walk does.
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    const Trie trie = random_index(rng, true);
    const std::u32string q = random_query(rng, trie);
    const Outcome expected = run(trie, q, 2, true, SearchEngine::kPlain, SIZE_MAX);
    std::vector<Outcome> got(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < got.size(); ++t) {
      threads.emplace_back(
          [&, t] { got[t] = run(trie, q, 2, true, SearchEngine::kAuto, SIZE_MAX); });
    }
    for (std::thread& thread : threads) thread.join();
    for (const Outcome& outcome : got) CHECK(outcome == expected);
  }
}

TEST(a_query_run_from_a_visitor_leaves_the_outer_walk_alone) {
  // The walk's working vectors are the thread's spares: a query run from
  // within another's visitor must get vectors of its own, on every path.
  std::mt19937 rng(11);
  for (int round = 0; round < 1500; ++round) {
    const Trie trie = random_index(rng, true);
    const std::u32string q = random_query(rng, trie);
    const std::u32string inner_q = random_query(rng, trie);
    const std::uint32_t max_dist = rng() % 4;
    const bool terminal_only = rng() % 2 == 0;
    const SearchEngine engine = rng() % 2 == 0 ? SearchEngine::kAuto : SearchEngine::kFilter;
    const Outcome outer = run(trie, q, max_dist, terminal_only, engine, SIZE_MAX);
    const Outcome inner = run(trie, inner_q, max_dist, terminal_only, engine, SIZE_MAX);
    Outcome nested;
    auto walked = tessarin::search_walk<true>(
        trie, q, max_dist, terminal_only,
        [&](std::size_t node, std::uint32_t d, std::u32string_view path) {
          CHECK(run(trie, inner_q, max_dist, terminal_only, engine, SIZE_MAX) == inner);
          nested.visits.emplace_back(node, d, std::u32string(path));
          return Walk::kGoOn;
        },
        engine);
    nested.ok = walked.ok();
    if (!nested.ok) {
      nested.error = walked.error().message;
      nested.visits.clear();
    }
    CHECK(nested == outer);
    if (nested != outer) return;  // one report is enough
  }
}

TEST(scratch_lends_the_spare_once_and_frees_a_large_one) {
  using Spare = tessarin::Scratch<int, struct ScratchTestTag>;
  const int* kept = nullptr;
  {
    Spare first;
    first.get().assign(100, 7);
    kept = first.get().data();
    Spare nested;  // the spare is lent: a vector of its own
    CHECK(nested.get().empty() && nested.get().capacity() == 0);
    nested.get().push_back(1);
  }
  {
    Spare again;  // the same memory, empty
    CHECK(again.get().empty() && again.get().data() == kept);
    again.get().resize(Spare::kKeptBytes / sizeof(int) + 1);
  }
  {
    Spare after;  // too large to keep: freed
    CHECK(after.get().capacity() == 0);
  }
  std::thread([] { CHECK(Spare().get().capacity() == 0); }).join();  // each thread its own
}

namespace {

// The last row of the edit-distance table of a against b: cell j is the
// distance between a and the first j characters of b.
std::vector<std::uint64_t> last_row(std::u32string_view a, std::u32string_view b) {
  std::vector<std::uint64_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), 0);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::uint64_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::uint64_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row;
}

// Prefix completion as a steering visitor sees it: in preorder, each node
// whose term is within max_dist of q and closer than every node reported
// above it (only terminal ones counting when terminal_only is set); and the
// rows the plain walk fills for it: a child's, wherever its parent's row
// has a cell below the least distance reported above.
struct Completions {
  const Trie& trie;
  std::u32string_view q;
  bool terminal_only;
  std::vector<Visit> out;
  std::size_t rows = 0;

  void walk(std::size_t node, std::u32string& term, std::uint64_t best) {
    const std::size_t begin = trie.node_shifts()[node];
    const std::size_t end = node + 1 < trie.node_shifts().size() ? trie.node_shifts()[node + 1]
                                                                 : trie.child_transitions().size();
    for (std::size_t p = begin; p < end; ++p) {
      const std::size_t child = trie.child_transitions()[p];
      if (trie.child_labels()[child] == 0) continue;
      term.push_back(trie.child_labels()[child]);
      ++rows;
      const std::vector<std::uint64_t> row = last_row(term, q);
      if (*std::min_element(row.begin(), row.end()) < best) {
        const std::uint64_t d = row.back();
        const bool reported = d < best && (!terminal_only || trie.is_terminal()[child] != 0);
        if (reported) out.emplace_back(child, d, term);
        if (!reported || d > 0) walk(child, term, reported ? d : best);
      }
      term.pop_back();
    }
  }
};

}  // namespace

TEST(steering_visitors_narrow_every_path_alike) {
  // The visitor answers "below the distance just reported": the walk must
  // report exactly the model's nodes on the plain walk (each row engine,
  // filling the model's rows) and on the filtered one.
  std::mt19937 rng(99);
  for (int round = 0; round < 1500; ++round) {
    const Trie trie = random_index(rng, /*tree=*/true);
    const std::u32string q = random_query(rng, trie);
    const std::uint32_t max_dist = rng() % 5;
    const bool terminal_only = rng() % 3 == 0;
    Completions model{trie, q, terminal_only, {}};
    std::u32string term;
    model.walk(0, term, std::uint64_t{max_dist} + 1);
    const std::vector<Visit>& expected = model.out;

    const auto steer = [&](std::vector<Visit>& got) {
      return [&got](std::size_t node, std::uint32_t d, std::u32string_view path) {
        got.emplace_back(node, d, std::u32string(path));
        return Steer{tessarin::Walk::kGoOn, d};
      };
    };
    for (const RowEngine rows : {RowEngine::kAuto, RowEngine::kBanded, RowEngine::kBlocked}) {
      std::vector<Visit> got;
      const auto walked =
          tessarin::fuzzy_walk<true>(trie, q, max_dist, terminal_only, steer(got), rows);
      CHECK(walked.ok() && got == expected);
      CHECK_EQ(walked.value(), model.rows);
    }
    std::vector<Visit> got;
    SearchPath taken = SearchPath::kPlain;
    CHECK(tessarin::search_walk<true>(trie, q, max_dist, terminal_only, steer(got),
                                      SearchEngine::kAuto, &taken)
              .ok());
    CHECK(got == expected);
    CHECK(taken != SearchPath::kForwardBackward);
    if (got != expected) return;  // one report is enough
  }
  // Skipping a subtree: nothing below a reported node is reported.
  TrieArrays arrays;
  arrays.node_shifts = {0, 1, 2, 3};  // root -> a -> b -> c
  arrays.child_transitions = {1, 2, 3};
  arrays.child_labels = {U'\0', U'a', U'b', U'c'};
  arrays.is_terminal = {0, 1, 1, 1};
  for (int i = 0; i < 4; ++i) arrays.payloads.push_absent();
  std::vector<Visit> got;
  CHECK(tessarin::search_walk<true>(Trie(std::move(arrays)), U"ab", 2, false,
                                    [&](std::size_t node, std::uint32_t d, std::u32string_view p) {
                                      got.emplace_back(node, d, std::u32string(p));
                                      return Steer{tessarin::Walk::kGoOn, 0};
                                    })
            .ok());
  CHECK(got == (std::vector<Visit>{{1, 1, U"a"}}));
}
