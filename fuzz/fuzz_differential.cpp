// Differential fuzzing of the matchers and suggestions against brute-force
// distances (Levenshtein, and optimal string alignment for transpositions).
//
// The input becomes a set of (term, count) records over a small alphabet
// (with non-ASCII characters and the code point 0, which makes a node
// invisible), a query, a bound and a limit. The harness lays the records out
// as a trie (breadth-first, so node order differs from preorder; sometimes
// with repeated sibling labels), builds a real index from it with the
// building step, and compares:
// * fuzzy_match with the terminal nodes in preorder whose term a plain
//   dynamic-programming Levenshtein puts within the bound, cut to the limit;
// * fuzzy_match_nodes, both switches and both row engines, with the same
//   computed over every node;
// * the fast search (search_walk: child filter, forward-backward passes),
//   both switches, with the same (fuzzy_match goes through it too);
// * fuzzy_match_nodes under transpositions, both switches, with the same
//   computed by a plain optimal string alignment;
// * suggest, under both distances, with the terminal nodes within the bound
//   ordered by distance, own count (the record's), term and node, cut to
//   the limit;
// * complete, both paths, under both distances, with every terminal node
//   whose term has a prefix (beginning with the text's first exact_prefix
//   characters) within the bound, at the least such distance, in the same
//   order, cut to the limit.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "index/from_arrays.h"
#include "query/complete.h"
#include "query/suggest.h"
#include "search/matcher.h"

namespace {

using tessarin::NodeMatch;
using tessarin::Trie;

constexpr char32_t kAlphabet[] = {U'a', U'b', U'c', U'A', U'é', U'€', U'𝄞'};

struct Node {
  char32_t label = 0;
  std::vector<std::size_t> children;  // in insertion order
  bool terminal = false;
  std::uint32_t count = 0;
};

// Plain Wagner-Fischer over code points.
std::uint64_t levenshtein(const std::u32string& a, const std::u32string& b) {
  std::vector<std::uint64_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::uint64_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::uint64_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Plain optimal string alignment: Levenshtein plus swaps of neighbours,
// no substring edited twice.
std::uint64_t osa(const std::u32string& a, const std::u32string& b) {
  std::vector<std::vector<std::uint64_t>> d(a.size() + 1, std::vector<std::uint64_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
      if (i >= 2 && j >= 2 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The least distance between `query` and a prefix of `term` of at least
// `head` characters (a plain table per prefix), by OSA when `swaps`.
std::uint64_t prefix_distance(const std::u32string& query, const std::u32string& term,
                              std::size_t head, bool swaps) {
  std::uint64_t best = ~std::uint64_t{0};
  for (std::size_t i = head; i <= term.size(); ++i) {
    const std::u32string prefix = term.substr(0, i);
    best = std::min(best, swaps ? osa(query, prefix) : levenshtein(query, prefix));
  }
  return best;
}

std::u32string draw_text(FuzzedDataProvider& in, std::size_t max_length) {
  const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, max_length);
  std::u32string text;
  for (std::size_t k = 0; k < length && in.remaining_bytes() > 0; ++k) {
    const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    // The code point 0 only now and then, so that most terms stay visible.
    text.push_back(pick == 255 ? U'\0' : kAlphabet[pick % std::size(kAlphabet)]);
  }
  return text;
}

struct Built {
  Trie trie;
  std::vector<std::size_t> node_of;  // tree node -> index node
};

// Breadth-first layout: every child gets a greater index than its parent.
Built lay_out(const std::vector<Node>& tree, std::size_t video_top_n) {
  std::vector<std::size_t> order{0};
  std::vector<std::size_t> node_of(tree.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    node_of[order[k]] = k;
    for (const std::size_t c : tree[order[k]].children) order.push_back(c);
  }
  tessarin::BuildInput input;
  for (const std::size_t t : order) {
    input.node_shifts.push_back(static_cast<std::uint32_t>(input.child_transitions.size()));
    input.child_labels.push_back(tree[t].label);
    for (const std::size_t c : tree[t].children) {
      input.child_transitions.push_back(static_cast<std::uint32_t>(node_of[c]));
    }
  }
  for (const std::size_t t : order) {
    if (tree[t].terminal) {
      const std::uint32_t video = tree[t].count % 5;
      const tessarin::Status added =
          tessarin::add_payload(input.payloads, tree[t].count, std::vector<std::uint32_t>{video},
                                std::vector<std::uint32_t>{tree[t].count});
      FUZZ_CHECK(added.ok(), added.error().message);
    } else {
      input.payloads.push_absent();
    }
  }
  for (std::uint8_t v = 0; v < 4; ++v) {
    const std::uint8_t id[4] = {v, 0, 0, 0};
    input.video_index.add(id);
  }
  input.video_top_n = video_top_n;
  const tessarin::Status shape =
      tessarin::check_shape(input.node_shifts.size(), input.child_labels.size(),
                            input.payloads.size(), input.child_transitions, input.node_shifts);
  FUZZ_CHECK(shape.ok(), shape.error().message);
  tessarin::Result<Trie> trie = tessarin::build(std::move(input));
  FUZZ_CHECK(trie.ok(), trie.error().message);
  return {std::move(trie).value(), std::move(node_of)};
}

struct Expected {
  std::size_t node;  // index node
  std::u32string term;
  std::uint64_t distance;
  bool terminal;
  std::uint64_t swapped;  // the distance with transpositions
  std::uint32_t count;    // the term's own count
};

// Every visible node but the root, in preorder, with its distance.
void expect(const std::vector<Node>& tree, const std::vector<std::size_t>& node_of, std::size_t t,
            std::u32string& path, const std::u32string& query, std::vector<Expected>& out) {
  for (const std::size_t c : tree[t].children) {
    if (tree[c].label == 0) continue;  // hidden with its subtree
    path.push_back(tree[c].label);
    out.push_back({node_of[c], path, levenshtein(query, path), tree[c].terminal, osa(query, path),
                   tree[c].terminal ? tree[c].count : 0});
    expect(tree, node_of, c, path, query, out);
    path.pop_back();
  }
}

std::string utf8(const std::u32string& text) {
  std::string out;
  for (const char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// The nodes a walk reported against the expected ones within the bound, in
// preorder; by the distance with transpositions when `swapped`.
void compare_nodes(const std::vector<NodeMatch>& got, std::uint32_t max_dist, bool terminal_only,
                   const std::vector<Expected>& all, bool swapped) {
  std::size_t k = 0;
  for (const Expected& e : all) {
    const std::uint64_t distance = swapped ? e.swapped : e.distance;
    if (distance > max_dist || (terminal_only && !e.terminal)) continue;
    FUZZ_CHECK(k < got.size(), "fuzzy_match_nodes missed node " + std::to_string(e.node));
    FUZZ_CHECK(got[k].node == e.node, "fuzzy_match_nodes: node " + std::to_string(got[k].node) +
                                          " where " + std::to_string(e.node) + " was expected");
    FUZZ_CHECK(got[k].distance == distance, "fuzzy_match_nodes: wrong distance");
    ++k;
  }
  FUZZ_CHECK(k == got.size(), "fuzzy_match_nodes reported nodes beyond the bound");
}

// The plain walk with the given rows, or (search other than kPlain)
// search_walk with that engine.
void check_nodes(const Trie& trie, const std::u32string& query, std::uint32_t max_dist,
                 bool terminal_only, const std::vector<Expected>& all, tessarin::RowEngine engine,
                 tessarin::SearchEngine search = tessarin::SearchEngine::kPlain) {
  std::vector<NodeMatch> got;
  const auto record = [&](std::size_t node, std::uint32_t distance, std::u32string_view) {
    got.push_back({node, distance});
    return tessarin::Walk::kGoOn;
  };
  const auto walked =
      search == tessarin::SearchEngine::kPlain
          ? tessarin::fuzzy_walk<false>(trie, query, max_dist, terminal_only, record, engine)
          : tessarin::search_walk<false>(trie, query, max_dist, terminal_only, record, search);
  FUZZ_CHECK(walked.ok(), walked.error().message);
  compare_nodes(got, max_dist, terminal_only, all, /*swapped=*/false);
}

// suggest() against the terminal nodes within the bound, ordered by
// distance, then own count (highest first), term (UTF-8 bytes) and node,
// cut to the limit.
void check_suggestions(const Trie& trie, const std::u32string& query, std::uint32_t max_dist,
                       std::optional<std::size_t> limit, const std::vector<Expected>& all,
                       tessarin::Distance distance) {
  const bool swapped = distance == tessarin::Distance::kOsa;
  std::vector<tessarin::Suggestion> expected;
  for (const Expected& e : all) {
    const std::uint64_t d = swapped ? e.swapped : e.distance;
    if (!e.terminal || d > max_dist) continue;
    expected.push_back({utf8(e.term), static_cast<std::uint32_t>(d), e.count, e.node});
  }
  std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
    return std::tie(a.distance, b.count, a.term, a.node) <
           std::tie(b.distance, a.count, b.term, b.node);
  });
  if (limit && *limit < expected.size()) expected.resize(*limit);
  const auto got = tessarin::suggest(trie, query, max_dist, limit, distance);
  FUZZ_CHECK(got.ok(), got.error().message);
  FUZZ_CHECK(got.value().size() == expected.size(),
             "suggest: " + std::to_string(got.value().size()) + " suggestions where " +
                 std::to_string(expected.size()) + " were expected");
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const tessarin::Suggestion& g = got.value()[k];
    const tessarin::Suggestion& e = expected[k];
    FUZZ_CHECK(g.term == e.term && g.node == e.node,
               "suggest: " + g.term + " where " + e.term + " was expected");
    FUZZ_CHECK(g.distance == e.distance && g.count == e.count,
               "suggest: wrong distance or count for " + g.term);
  }
}

void check_completions(const Trie& trie, const std::u32string& query, std::uint32_t max_dist,
                       std::optional<std::size_t> limit, std::size_t exact_prefix,
                       const std::vector<Expected>& all, tessarin::Distance distance) {
  const bool swapped = distance == tessarin::Distance::kOsa;
  const std::size_t head = std::min(exact_prefix, query.size());
  std::vector<tessarin::Completion> expected;
  for (const Expected& e : all) {
    if (!e.terminal || e.term.compare(0, head, query, 0, head) != 0 || e.term.size() < head) {
      continue;
    }
    const std::uint64_t d = prefix_distance(query, e.term, head, swapped);
    if (d > max_dist) continue;
    expected.push_back({utf8(e.term), static_cast<std::uint32_t>(d), e.count, e.node});
  }
  std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
    return std::tie(a.distance, b.count, a.term, a.node) <
           std::tie(b.distance, a.count, b.term, b.node);
  });
  if (limit && *limit < expected.size()) expected.resize(*limit);
  for (const auto engine : {tessarin::CompleteEngine::kAuto, tessarin::CompleteEngine::kPlain}) {
    tessarin::CompleteOptions how;
    how.max_dist = max_dist;
    how.limit = limit;
    how.exact_prefix = exact_prefix;
    how.distance = distance;
    how.engine = engine;
    const auto got = tessarin::complete(trie, query, how);
    FUZZ_CHECK(got.ok(), got.error().message);
    FUZZ_CHECK(got.value().size() == expected.size(),
               "complete: " + std::to_string(got.value().size()) + " completions where " +
                   std::to_string(expected.size()) + " were expected");
    for (std::size_t k = 0; k < expected.size(); ++k) {
      const tessarin::Completion& g = got.value()[k];
      const tessarin::Completion& e = expected[k];
      FUZZ_CHECK(g.term == e.term && g.node == e.node,
                 "complete: " + g.term + " where " + e.term + " was expected");
      FUZZ_CHECK(g.distance == e.distance && g.count == e.count,
                 "complete: wrong distance or count for " + g.term);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<Node> tree(1);
  const std::size_t records = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  for (std::size_t r = 0; r < records && in.remaining_bytes() > 0; ++r) {
    const bool repeat_labels = in.ConsumeIntegral<std::uint8_t>() < 16;
    const std::u32string term = draw_text(in, 12);
    const std::uint32_t count = in.ConsumeIntegralInRange<std::uint32_t>(1, 1000);
    std::size_t t = 0;
    for (const char32_t c : term) {
      std::size_t next = tree.size();
      if (!repeat_labels) {
        for (const std::size_t child : tree[t].children) {
          if (tree[child].label == c) next = child;
        }
      }
      if (next == tree.size()) {
        tree.push_back({c, {}, false, 0});
        tree[t].children.push_back(next);
      }
      t = next;
    }
    if (t != 0) {
      tree[t].terminal = true;
      tree[t].count = count;
    }
  }

  std::uint32_t max_dist = in.ConsumeIntegralInRange<std::uint32_t>(0, 4);
  const std::uint8_t wide = in.ConsumeIntegral<std::uint8_t>();
  if (wide > 240) max_dist = in.ConsumeIntegralInRange<std::uint32_t>(0, 80);
  if (wide == 255) max_dist = in.ConsumeIntegral<std::uint32_t>();
  std::optional<std::size_t> limit;
  if (in.ConsumeBool()) limit = in.ConsumeIntegralInRange<std::size_t>(0, 10);
  const std::u32string query = draw_text(in, in.ConsumeBool() ? 70 : 10);
  const std::size_t exact_prefix = in.ConsumeIntegralInRange<std::size_t>(0, 4);

  const Built built = lay_out(tree, in.ConsumeIntegralInRange<std::size_t>(0, 3));
  std::vector<Expected> all;
  std::u32string path;
  expect(tree, built.node_of, 0, path, query, all);

  // fuzzy_match: terminal nodes within the bound, in preorder, cut.
  const auto terms = tessarin::fuzzy_match(built.trie, query, max_dist, limit);
  FUZZ_CHECK(terms.ok(), terms.error().message);
  std::size_t k = 0;
  for (const Expected& e : all) {
    if (!e.terminal || e.distance > max_dist) continue;
    if (limit && k == *limit) break;
    FUZZ_CHECK(k < terms.value().size(), "fuzzy_match missed " + utf8(e.term));
    const tessarin::MatchResult& got = terms.value()[k];
    FUZZ_CHECK(got.term == utf8(e.term),
               "fuzzy_match: " + got.term + " where " + utf8(e.term) + " was expected");
    FUZZ_CHECK(got.node == e.node && got.distance == e.distance,
               "fuzzy_match: wrong node or distance for " + got.term);
    ++k;
  }
  FUZZ_CHECK(k == terms.value().size(), "fuzzy_match reported terms beyond the bound");

  for (const bool terminal_only : {true, false}) {
    check_nodes(built.trie, query, max_dist, terminal_only, all, tessarin::RowEngine::kAuto);
    check_nodes(built.trie, query, max_dist, terminal_only, all, tessarin::RowEngine::kBanded);
    check_nodes(built.trie, query, max_dist, terminal_only, all, tessarin::RowEngine::kBlocked);
    check_nodes(built.trie, query, max_dist, terminal_only, all, tessarin::RowEngine::kAuto,
                tessarin::SearchEngine::kAuto);
    check_nodes(built.trie, query, max_dist, terminal_only, all, tessarin::RowEngine::kAuto,
                tessarin::SearchEngine::kFilter);
    const auto swapped = tessarin::fuzzy_match_nodes(built.trie, query, max_dist, terminal_only,
                                                     tessarin::Distance::kOsa);
    FUZZ_CHECK(swapped.ok(), swapped.error().message);
    compare_nodes(swapped.value(), max_dist, terminal_only, all, /*swapped=*/true);
  }
  for (const tessarin::Distance distance :
       {tessarin::Distance::kLevenshtein, tessarin::Distance::kOsa}) {
    check_suggestions(built.trie, query, max_dist, limit, all, distance);
    check_completions(built.trie, query, max_dist, limit, exact_prefix, all, distance);
  }
  return 0;
}
