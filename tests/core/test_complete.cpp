// Completion (query/complete.h), both paths, against a plain model: every
// terminal node by path, its distance the least over its prefixes, sorted
// and cut.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "check.h"
#include "index/trie.h"
#include "query/complete.h"
#include "query/node_info.h"

using tessarin::CompleteEngine;
using tessarin::CompleteOptions;
using tessarin::Completion;
using tessarin::Distance;
using tessarin::Trie;
using tessarin::TrieArrays;

namespace {

using Row = std::tuple<std::uint32_t, std::uint32_t, std::string, std::size_t>;  // d, count

const std::u32string kAlphabet = U"abc\u00e9\U0001F600";

// The distance between q and every prefix of `term` (last column of one
// table), under OSA when `swaps`.
std::vector<std::uint64_t> prefix_distances(std::u32string_view q, std::u32string_view term,
                                            bool swaps) {
  const std::size_t m = q.size();
  std::vector<std::vector<std::uint64_t>> d(term.size() + 1, std::vector<std::uint64_t>(m + 1));
  std::iota(d[0].begin(), d[0].end(), 0);
  std::vector<std::uint64_t> out{d[0][m]};
  for (std::size_t i = 1; i <= term.size(); ++i) {
    d[i][0] = i;
    for (std::size_t j = 1; j <= m; ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (term[i - 1] != q[j - 1] ? 1 : 0)});
      if (swaps && i >= 2 && j >= 2 && term[i - 1] == q[j - 2] && term[i - 2] == q[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
    out.push_back(d[i][m]);
  }
  return out;
}

struct Model {
  const Trie& trie;
  std::u32string_view q;
  CompleteOptions how;
  std::vector<Row> found;
  std::size_t budget = 0;  // child entries left to examine; the walk's bound

  // Returns false when the budget ran out.
  bool walk(std::size_t node, std::u32string& term) {
    const tessarin::ChildRange range = trie.children(node);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      if (budget-- == 0) return false;
      const std::size_t child = trie.child(p);
      if (trie.label(child) == 0) continue;
      term.push_back(trie.label(child));
      if (trie.terminal(child)) visit(child, term);
      if (!walk(child, term)) return false;
      term.pop_back();
    }
    return true;
  }

  void visit(std::size_t node, const std::u32string& term) {
    const std::size_t head = std::min(how.exact_prefix, q.size());
    if (term.compare(0, head, q, 0, head) != 0 || term.size() < head) return;
    const auto all = prefix_distances(q, term, how.distance == Distance::kOsa);
    const std::uint64_t d =
        *std::min_element(all.begin() + static_cast<std::ptrdiff_t>(head), all.end());
    if (d > how.max_dist) return;
    std::string text;
    tessarin::append_utf8(term, text);
    found.emplace_back(static_cast<std::uint32_t>(d), tessarin::own_count(trie, node), text, node);
  }

  // The expected completions, or nothing when the model ran out of budget.
  std::optional<std::vector<Row>> run() {
    budget = trie.child_transitions().size();
    std::u32string term;
    if (!walk(0, term)) return std::nullopt;
    std::sort(found.begin(), found.end(), [](const Row& a, const Row& b) {
      return std::tie(std::get<0>(a), std::get<1>(b), std::get<2>(a), std::get<3>(a)) <
             std::tie(std::get<0>(b), std::get<1>(a), std::get<2>(b), std::get<3>(b));
    });
    if (how.limit && *how.limit < found.size()) found.resize(*how.limit);
    return found;
  }
};

// A random trie with counts: a tree (ids shuffled, children in any order,
// some sibling labels repeated, some labels 0), or child lists that share
// nodes and may loop. Totals are propagated over the tree, so that own
// counts are those drawn; small, for ties, and now and then one that
// saturates.
Trie random_trie(std::mt19937& rng, bool tree) {
  const std::size_t n = 2 + rng() % 120;
  std::vector<std::size_t> parent(n, 0);
  for (std::size_t v = 1; v < n; ++v) parent[v] = v - 1 - rng() % std::min<std::size_t>(v, 5);
  std::vector<std::uint64_t> total(n);
  for (std::size_t v = n; v-- > 1;) {
    total[v] += rng() % 60 == 0 ? 0xFFFFFFF0u : rng() % 4;
    total[parent[v]] += total[v];
  }
  std::vector<std::uint32_t> id(n);
  std::iota(id.begin(), id.end(), 0);
  std::shuffle(id.begin() + 1, id.end(), rng);
  std::vector<std::vector<std::uint32_t>> children(n);
  for (std::size_t v = 1; v < n; ++v) children[id[parent[v]]].push_back(id[v]);
  for (auto& kids : children) std::shuffle(kids.begin(), kids.end(), rng);
  if (!tree) children[rng() % n].push_back(static_cast<std::uint32_t>(rng() % n));
  TrieArrays arrays;
  arrays.child_labels.resize(n);
  arrays.is_terminal.resize(n);
  for (const auto& kids : children) {
    arrays.node_shifts.push_back(static_cast<std::uint32_t>(arrays.child_transitions.size()));
    arrays.child_transitions.insert(arrays.child_transitions.end(), kids.begin(), kids.end());
  }
  std::vector<std::uint32_t> totals(n);
  for (std::size_t v = 0; v < n; ++v) {
    arrays.child_labels[id[v]] = rng() % 50 == 0 ? U'\0' : kAlphabet[rng() % kAlphabet.size()];
    arrays.is_terminal[id[v]] = rng() % 4 != 0 ? 1 : 0;
    totals[id[v]] = static_cast<std::uint32_t>(std::min<std::uint64_t>(total[v], 0xFFFFFFFFu));
  }
  for (std::size_t v = 0; v < n; ++v) {
    if (totals[v] == 0 && rng() % 2 == 0) {
      arrays.payloads.push_absent();
    } else {
      arrays.payloads.push(totals[v], {}, {});
    }
  }
  return rng() % 3 == 0 ? Trie::with_checked_reads(std::move(arrays)) : Trie(std::move(arrays));
}

std::u32string random_text(std::mt19937& rng, const Trie& trie) {
  std::u32string q;
  std::size_t node = 0;  // down random children, then a few slips
  for (std::size_t depth = 0; depth < 10 && rng() % 6 != 0; ++depth) {
    const tessarin::ChildRange range = trie.children(node);
    if (range.end <= range.begin) break;
    node = trie.child(range.begin + rng() % (range.end - range.begin));
    q.push_back(trie.label(node));
  }
  for (std::size_t slips = rng() % 3; slips > 0; --slips) {
    const std::size_t at = q.empty() ? 0 : rng() % q.size();
    if (rng() % 2 == 0 || q.empty()) {
      q.insert(q.begin() + static_cast<std::ptrdiff_t>(at), kAlphabet[rng() % kAlphabet.size()]);
    } else {
      q.erase(at, 1);
    }
  }
  return q;
}

std::vector<Row> rows_of(const std::vector<Completion>& got) {
  std::vector<Row> out;
  for (const Completion& c : got) out.emplace_back(c.distance, c.count, c.term, c.node);
  return out;
}

}  // namespace

TEST(completions_match_the_model_on_either_path) {
  std::mt19937 rng(18);
  std::size_t compared = 0;
  for (int round = 0; round < 4000; ++round) {
    const bool tree = round % 4 != 0;
    const Trie trie = random_trie(rng, tree);
    const std::u32string q = random_text(rng, trie);
    CompleteOptions how;
    how.max_dist = rng() % 8 == 0 ? 1000 : rng() % 5;
    if (rng() % 4 == 0) how.limit = std::nullopt;
    if (how.limit) how.limit = rng() % 6;
    how.exact_prefix = rng() % 3 == 0 ? rng() % 5 : 0;
    how.distance = rng() % 2 == 0 ? Distance::kOsa : Distance::kLevenshtein;
    Model model{trie, q, how, {}};
    const std::optional<std::vector<Row>> expected = model.run();
    for (const CompleteEngine engine : {CompleteEngine::kAuto, CompleteEngine::kPlain}) {
      how.engine = engine;
      tessarin::CompleteStats stats;
      const auto got = tessarin::complete(trie, q, how, &stats);
      CHECK(got.ok() || !tree);  // a tree never fails
      if (!expected) continue;   // the model ran out of budget: the walk may fail
      CHECK(got.ok() && rows_of(got.value()) == *expected);
      if (how.limit != 0u) CHECK(stats.plain == (engine == CompleteEngine::kPlain || !tree));
      ++compared;
      if (!got.ok() || rows_of(got.value()) != *expected) return;  // one report is enough
    }
  }
  CHECK(compared > 6000);
}

TEST(completing_a_short_text_touches_few_nodes) {
  // 4000 terms under "a", counts rising with the term: the top 10 of "a"
  // come from a handful of subtrees, the plain path reads them all.
  TrieArrays arrays;
  std::vector<std::vector<std::uint32_t>> children(1);
  std::vector<char32_t> labels{U'\0'};
  std::vector<std::uint32_t> own{0};
  std::mt19937 rng(5);
  for (int t = 0; t < 4000; ++t) {
    std::size_t node = 0;
    std::u32string term = U"a";
    for (int i = 0; i < 6; ++i) term.push_back(U"bcdefgh"[rng() % 7]);
    for (const char32_t c : term) {
      std::size_t next = 0;
      for (const std::uint32_t k : children[node]) {
        if (labels[k] == c) next = k;
      }
      if (next == 0) {
        next = labels.size();
        labels.push_back(c);
        own.push_back(0);
        children.emplace_back();
        children[node].push_back(static_cast<std::uint32_t>(next));
      }
      node = next;
    }
    own[node] = 1 + static_cast<std::uint32_t>(t);
  }
  std::vector<std::uint32_t> total(own.begin(), own.end());
  for (std::size_t v = labels.size(); v-- > 0;) {
    for (const std::uint32_t k : children[v]) total[v] += total[k];  // children come later
  }
  for (std::size_t v = 0; v < labels.size(); ++v) {
    arrays.node_shifts.push_back(static_cast<std::uint32_t>(arrays.child_transitions.size()));
    arrays.child_transitions.insert(arrays.child_transitions.end(), children[v].begin(),
                                    children[v].end());
    arrays.is_terminal.push_back(own[v] > 0 ? 1 : 0);
    arrays.payloads.push(total[v], {}, {});
  }
  arrays.child_labels = labels;
  const Trie trie(std::move(arrays));
  CHECK(trie.derived().tree(trie).tree);
  const std::size_t before = trie.memory_bytes();

  CompleteOptions how;
  how.max_dist = 2;
  tessarin::CompleteStats fast;
  tessarin::CompleteStats plain;
  const auto got = tessarin::complete(trie, U"a", how, &fast);
  how.engine = CompleteEngine::kPlain;
  CHECK(rows_of(got.value()) == rows_of(tessarin::complete(trie, U"a", how, &plain).value()));
  CHECK_EQ(got.value().size(), std::size_t{10});
  CHECK_EQ(got.value()[0].count, 4000u);
  // At most 10 paths of 7 levels, 7 children each.
  CHECK(fast.rows + fast.children < 10 * 7 * 7);
  CHECK(plain.rows > 4000);
  // The bounds are derived once, and counted.
  CHECK_EQ(trie.memory_bytes(), before + trie.node_count() * 4);
}
