// The matcher's walk on the core directly: the row engines against each
// other and against exact, unbanded rows, under both edit sets; the node
// matcher; corrupt tries.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "check.h"
#include "index/trie.h"
#include "search/matcher.h"
#include "search/transpositions.h"

using tessarin::NodeMatch;
using tessarin::RowEngine;
using tessarin::Trie;
using tessarin::TrieArrays;
using tessarin::Walk;
using namespace std::string_literals;

namespace {

// A trie from child lists, walked with checked reads; labels[i] is node i's
// label, terminal[i] its flag.
Trie make_trie(const std::vector<std::vector<std::uint32_t>>& children, std::u32string labels,
               std::vector<std::uint8_t> terminal) {
  TrieArrays trie;
  for (const auto& kids : children) {
    trie.node_shifts.push_back(static_cast<std::uint32_t>(trie.child_transitions.size()));
    trie.child_transitions.insert(trie.child_transitions.end(), kids.begin(), kids.end());
  }
  trie.child_labels.assign(labels.begin(), labels.end());
  trie.is_terminal = std::move(terminal);
  for (std::size_t i = 0; i < children.size(); ++i) trie.payloads.push_absent();
  return Trie::with_checked_reads(std::move(trie));
}

// root -> c -> a -> r -> t: the nodes of c, ca, car and cart.
Trie car_trie(std::vector<std::uint8_t> terminal) {
  // 0 root, 1 c, 2 ca, 3 car, 4 cart
  return make_trie({{1}, {2}, {3}, {4}, {}}, U"\0cart"s, std::move(terminal));
}

using Visit = std::tuple<std::size_t, std::uint32_t, std::u32string>;

struct Outcome {
  bool ok = true;
  std::vector<Visit> visits;
  std::size_t visited = 0;
  bool operator==(const Outcome&) const = default;
};

template <class Edits = tessarin::Levenshtein>
Outcome run(const Trie& trie, std::u32string_view term, std::uint32_t max_dist, RowEngine engine,
            bool terminal_only = false) {
  Outcome out;
  auto walked = tessarin::fuzzy_walk<true, Edits>(
      trie, term, max_dist, terminal_only,
      [&](std::size_t node, std::uint32_t d, std::u32string_view path) {
        out.visits.emplace_back(node, d, std::u32string(path));
        return Walk::kGoOn;
      },
      engine);
  out.ok = walked.ok();
  if (out.ok) {
    out.visited = walked.value();
  } else {
    out.visits.clear();
  }
  return out;
}

// The walk with exact rows of m + 1 unclamped cells, recursive, as plainly
// as it can be written; follows paths, with the same examined-entry bound.
// With swaps, the optimal string alignment's term from the row two above.
struct Reference {
  const Trie& trie;
  std::u32string_view q;
  std::uint64_t max_dist;
  bool swaps;
  Outcome out;
  std::size_t examined = 0;

  bool dfs(std::size_t node, const std::vector<std::uint64_t>& prev,
           const std::vector<std::uint64_t>& prev2, std::u32string& path) {
    const std::size_t begin = trie.node_shifts()[node];
    const std::size_t end = node + 1 < trie.node_shifts().size() ? trie.node_shifts()[node + 1]
                                                                 : trie.child_transitions().size();
    for (std::size_t p = begin; p < end; ++p) {
      if (++examined > trie.child_transitions().size()) return false;
      const std::size_t child = trie.child_transitions()[p];
      const char32_t label = trie.child_labels()[child];
      if (label == 0) continue;
      std::vector<std::uint64_t> cur(q.size() + 1);
      cur[0] = prev[0] + 1;
      for (std::size_t j = 1; j <= q.size(); ++j) {
        cur[j] = std::min({prev[j - 1] + (q[j - 1] != label ? 1 : 0), prev[j] + 1, cur[j - 1] + 1});
        if (swaps && j >= 2 && path.size() >= 1 && label == q[j - 2] && path.back() == q[j - 1]) {
          cur[j] = std::min(cur[j], prev2[j - 2] + 1);
        }
      }
      ++out.visited;
      if (*std::min_element(cur.begin(), cur.end()) > max_dist) continue;
      path.push_back(label);
      if (cur.back() <= max_dist) out.visits.emplace_back(child, cur.back(), path);
      if (!dfs(child, cur, prev, path)) return false;
      path.pop_back();
    }
    return true;
  }
};

Outcome reference(const Trie& trie, std::u32string_view q, std::uint32_t max_dist,
                  bool swaps = false) {
  Reference r{trie, q, max_dist, swaps, {}};
  std::vector<std::uint64_t> row0(q.size() + 1);
  for (std::size_t j = 0; j < row0.size(); ++j) row0[j] = j;
  std::u32string path;
  if (!trie.child_labels().empty() && !r.dfs(0, row0, row0, path)) return Outcome{false, {}, 0};
  return r.out;
}

Trie random_trie(std::mt19937& rng, bool tree) {
  const std::u32string alphabet = U"abc\u00e9\U0001F600";
  const std::size_t n = 1 + rng() % 40;
  std::vector<std::vector<std::uint32_t>> children(n);
  for (std::size_t node = 1; node < n; ++node) {
    children[tree ? rng() % node : rng() % n].push_back(static_cast<std::uint32_t>(node));
  }
  if (!tree) {
    for (int extra = 0; extra < 3; ++extra) children[rng() % n].push_back(rng() % n);
  }
  std::u32string labels;
  std::vector<std::uint8_t> terminal;
  for (std::size_t i = 0; i < n; ++i) {
    labels.push_back(rng() % 12 == 0 ? U'\0' : alphabet[rng() % alphabet.size()]);
    terminal.push_back(rng() % 2);
  }
  return make_trie(children, labels, terminal);
}

std::u32string random_query(std::mt19937& rng) {
  const std::u32string alphabet = U"abcd\u00e9\U0001F600";
  std::u32string q;
  const std::size_t m = rng() % 4 == 0 ? 60 + rng() % 80 : rng() % 8;
  for (std::size_t i = 0; i < m; ++i) q.push_back(alphabet[rng() % alphabet.size()]);
  return q;
}

}  // namespace

TEST(engines_agree_with_exact_rows) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    const bool tree = round % 3 != 0;
    const Trie trie = random_trie(rng, tree);
    const std::u32string q = random_query(rng);
    const std::uint32_t max_dist = round % 5 == 0 ? rng() % 70 : rng() % 9;
    const Outcome expected = reference(trie, q, max_dist);
    const Outcome banded = run(trie, q, max_dist, RowEngine::kBanded);
    const Outcome bits = run(trie, q, max_dist, RowEngine::kBitParallel);
    CHECK(banded == expected);
    CHECK(bits == expected);
    CHECK(run(trie, q, max_dist, RowEngine::kBlocked) == expected);
    if (tree) CHECK(expected.ok);
    // The same trie walked with plain reads: the same walk, the tree bound
    // included (these tries are all in bounds, trees or not).
    const Trie plain(trie.to_arrays());
    CHECK(plain.trust() >= tessarin::Trust::kInBounds);
    CHECK(run(plain, q, max_dist, RowEngine::kBanded) == expected);
    CHECK(run(plain, q, max_dist, RowEngine::kBitParallel) == expected);
    CHECK(run(plain, q, max_dist, RowEngine::kBlocked) == expected);
    // Transpositions: banded rows only, checked reads and plain.
    const Outcome swapped = reference(trie, q, max_dist, /*swaps=*/true);
    CHECK(run<tessarin::Transpositions>(trie, q, max_dist, RowEngine::kAuto) == swapped);
    CHECK(run<tessarin::Transpositions>(plain, q, max_dist, RowEngine::kAuto) == swapped);
  }
}

TEST(blocked_rows_on_deep_tries_and_long_queries) {
  // Terms that are the query with a few edits, so that rows deeper than the
  // bound stay alive and the blocked rows' scan for a cell within it
  // decides the pruning anywhere along the row; two letters, long queries.
  std::mt19937 rng(2024);
  const auto letter = [&] { return rng() % 2 == 0 ? U'a' : U'b'; };
  for (int round = 0; round < 300; ++round) {
    std::u32string q;
    for (std::size_t j = rng() % 260; j > 0; --j) q.push_back(letter());
    std::vector<std::vector<std::uint32_t>> children(1);
    std::u32string labels(1, U'\0');
    std::vector<std::uint8_t> terminal(1, 0);
    for (int t = 0; t < 6; ++t) {
      std::u32string term = q.substr(0, rng() % (q.size() + 1));
      for (std::size_t e = rng() % 6; e > 0 && !term.empty(); --e) {
        const std::size_t at = rng() % term.size();
        if (rng() % 2 == 0)
          term.erase(at, 1);
        else
          term.insert(at, 1, letter());
      }
      std::uint32_t node = 0;
      for (const char32_t c : term) {
        const auto& kids = children[node];
        const auto same =
            std::find_if(kids.begin(), kids.end(), [&](std::uint32_t k) { return labels[k] == c; });
        if (same != kids.end()) {
          node = *same;
          continue;
        }
        const auto next = static_cast<std::uint32_t>(labels.size());
        children[node].push_back(next);
        children.emplace_back();
        labels.push_back(c);
        terminal.push_back(rng() % 4 == 0);
        node = next;
      }
      terminal[node] = 1;
    }
    const Trie trie = make_trie(children, labels, terminal);
    const auto max_dist =
        static_cast<std::uint32_t>(rng() % 3 == 0 ? rng() % (q.size() + 2) : rng() % 8);
    CHECK(run(trie, q, max_dist, RowEngine::kBlocked) == reference(trie, q, max_dist));
  }
}

TEST(wide_cells_for_long_queries_and_bounds) {
  // Bounds past the 16-bit cells' reach: 32-bit cells, same answers.
  const Trie trie = make_trie({{1, 3}, {2}, {}, {}}, U"\0abb"s, {0, 1, 1, 1});
  const std::u32string q(70000, U'a');
  for (const std::uint32_t max_dist : {69999u, 70000u, 4294967295u}) {
    CHECK(run(trie, q, max_dist, RowEngine::kAuto) == reference(trie, q, max_dist));
  }
  CHECK(run(trie, q, 69998, RowEngine::kAuto).visits.empty());
}

TEST(cat_example_visits) {
  // root -> b -> a -> t -> x, root -> c -> a -> t.
  const Trie trie =
      make_trie({{1, 5}, {2}, {3}, {4}, {}, {6}, {7}, {}}, U"\0batxcat"s, {0, 0, 0, 1, 1, 0, 0, 1});
  for (const RowEngine engine :
       {RowEngine::kBanded, RowEngine::kBitParallel, RowEngine::kBlocked}) {
    const Outcome out = run(trie, U"cat", 1, engine, /*terminal_only=*/true);
    CHECK(out.ok);
    CHECK(out.visits == (std::vector<Visit>{{3, 1, U"bat"}, {7, 0, U"cat"}}));
    CHECK_EQ(out.visited, std::size_t{7});  // every node but the root
  }
  auto matches = tessarin::fuzzy_match(trie, U"cat", 1, std::nullopt);
  CHECK(matches.ok());
  CHECK_EQ(matches.value().size(), std::size_t{2});
  CHECK_EQ(matches.value()[0].term, std::string("bat"));
  CHECK_EQ(matches.value()[1].term, std::string("cat"));
  CHECK_EQ(matches.value()[1].distance, 0u);
  auto limited = tessarin::fuzzy_match(trie, U"cat", 1, 1);
  CHECK(limited.ok() && limited.value().size() == 1);
}

TEST(utf8_terms) {
  const Trie trie = make_trie({{1}, {2}, {3}, {}}, U"\0\u00e9\u4e2d\U0001F600"s, {0, 0, 0, 1});
  auto matches = tessarin::fuzzy_match(trie, U"\u00e9\u4e2d\U0001F600", 0, std::nullopt);
  CHECK(matches.ok() && matches.value().size() == 1);
  CHECK_EQ(matches.value()[0].term, std::string("\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"));
}

namespace {
std::vector<std::pair<std::size_t, std::uint32_t>> pairs(const std::vector<NodeMatch>& v) {
  std::vector<std::pair<std::size_t, std::uint32_t>> out;
  for (const NodeMatch& m : v) out.emplace_back(m.node, m.distance);
  return out;
}
}  // namespace

TEST(node_matcher) {
  // Only "cart" is a term.
  const Trie trie = car_trie({0, 0, 0, 0, 1});
  auto all = tessarin::fuzzy_match_nodes(trie, U"car", 1, false);
  CHECK(all.ok());
  CHECK(pairs(all.value()) ==
        (std::vector<std::pair<std::size_t, std::uint32_t>>{{2, 1}, {3, 0}, {4, 1}}));
  auto terminal = tessarin::fuzzy_match_nodes(trie, U"car", 1, true);
  CHECK(terminal.ok());
  CHECK(pairs(terminal.value()) == (std::vector<std::pair<std::size_t, std::uint32_t>>{{4, 1}}));
  auto prefix = tessarin::fuzzy_match_nodes(trie, U"ca", 0, false);
  CHECK(prefix.ok() &&
        pairs(prefix.value()) == (std::vector<std::pair<std::size_t, std::uint32_t>>{{2, 0}}));
  auto none = tessarin::fuzzy_match_nodes(trie, U"ca", 0, true);
  CHECK(none.ok() && none.value().empty());
}

TEST(node_matcher_reads_no_terminal_flags_when_off) {
  // is_terminal is empty: only a terminal-only walk reads it.
  const Trie trie = car_trie({});
  CHECK(tessarin::fuzzy_match_nodes(trie, U"car", 1, false).ok());
  auto failed = tessarin::fuzzy_match_nodes(trie, U"car", 1, true);
  CHECK(!failed.ok());
  CHECK(failed.error().kind == tessarin::ErrorKind::kInternal);
}

TEST(corrupt_tries_fail_cleanly) {
  TrieArrays beyond = car_trie({0, 0, 0, 1, 1}).to_arrays();
  beyond.child_transitions[3] = 1000;  // cart's slot names no node
  auto failed = tessarin::fuzzy_match(Trie::with_checked_reads(beyond), U"car", 1, std::nullopt);
  CHECK(!failed.ok());
  CHECK(failed.error().message.find("position 1000 of child_labels") != std::string::npos);

  TrieArrays cycle = car_trie({0, 0, 0, 1, 1}).to_arrays();
  cycle.child_transitions[3] = 1;  // car -> c
  auto looped =
      tessarin::fuzzy_match_nodes(Trie::with_checked_reads(cycle), U"", 4294967295u, false);
  CHECK(!looped.ok());
  CHECK(looped.error().message.find("do not form a tree") != std::string::npos);

  TrieArrays no_nodes = car_trie({}).to_arrays();
  no_nodes.child_labels.clear();
  auto empty = tessarin::fuzzy_match_nodes(Trie::with_checked_reads(no_nodes), U"car", 5, true);
  CHECK(empty.ok() && empty.value().empty());
}
