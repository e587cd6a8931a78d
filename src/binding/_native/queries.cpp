// The query methods of NativeIndex. Each converts its arguments with the
// interpreter lock held, runs the core with the lock released (the index
// is immutable and the core touches no Python object), and converts the
// results once it holds the lock again.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/_native/conversion.h"
#include "binding/_native/errors.h"
#include "binding/_native/native_index.h"
#include "query/complete.h"
#include "query/node_info.h"
#include "query/pooling.h"
#include "query/search_and_pool.h"
#include "query/suggest.h"
#include "util/batch.h"

namespace nb = nanobind;

namespace tessarin::native {
namespace {

using Limit = std::optional<std::size_t>;

// Runs f() without the interpreter lock and returns its result.
template <class F>
auto unlocked(F&& f) -> decltype(f()) {
  std::optional<decltype(f())> result;
  {
    const nb::gil_scoped_release released;
    result.emplace(std::forward<F>(f)());
  }
  return std::move(*result);
}

template <class T>
nb::list checked(const Result<T>& result) {
  if (!result.ok()) raise_error(result.error());
  return to_python(result.value());
}

Distance distance_of(bool transpositions) {
  return transpositions ? Distance::kOsa : Distance::kLevenshtein;
}

// One query per term, run(i, term i), on up to `threads` threads; results
// in input order. The first failed query (in input order) raises.
template <class Run>
nb::list run_many(nb::handle terms, std::size_t threads, Run&& run) {
  using Found = decltype(run(std::size_t{0}, std::u32string_view()));
  const std::vector<std::u32string> queries = to_queries(terms, "terms");
  std::vector<std::optional<Found>> found(queries.size());
  {
    const nb::gil_scoped_release released;
    parallel_for(queries.size(), threads,
                 [&](std::size_t i) { found[i].emplace(run(i, queries[i])); });
  }
  nb::list out;
  for (const std::optional<Found>& one : found) {
    if (one) out.append(checked(*one));  // every slot is filled when parallel_for returns
  }
  return out;
}

nb::list suggest_one(const NativeIndex& self, nb::handle term, std::uint32_t max_dist, Limit limit,
                     bool transpositions) {
  const std::u32string query = to_query(term);
  return checked(unlocked(
      [&] { return suggest(self.trie(), query, max_dist, limit, distance_of(transpositions)); }));
}

nb::list search_one(const NativeIndex& self, nb::handle term, std::uint32_t max_dist, Limit limit,
                    std::optional<bool> include_prefix_nodes, std::optional<double> min_score,
                    bool transpositions) {
  const std::u32string query = to_query(term);
  return checked(unlocked([&] {
    return self.index.fuzzy_match_video(query, max_dist, limit, include_prefix_nodes, min_score,
                                        distance_of(transpositions));
  }));
}

nb::list match_nodes(const NativeIndex& self, nb::handle term, std::uint32_t max_dist,
                     bool terminal_only, bool transpositions, nb::handle record) {
  const std::u32string query = to_query(term);
  NodeMatches found;
  const Status walked = unlocked([&] {
    return match_node_info(self.trie(), query, max_dist, terminal_only, distance_of(transpositions),
                           found);
  });
  if (!walked.ok()) raise_error(walked.error());
  return to_python(found, record);
}

nb::list pooled_nodes(const NativeIndex& self, nb::handle term, std::uint32_t max_dist, Limit limit,
                      std::optional<bool> include_prefix_nodes, bool transpositions) {
  const std::u32string query = to_query(term);
  return checked(unlocked([&] {
    return pooled_terms(self.trie(), query, max_dist, include_prefix_nodes, limit,
                        distance_of(transpositions));
  }));
}

nb::tuple search_pooled(const NativeIndex& self, nb::handle term, std::uint32_t max_dist,
                        Limit limit, std::optional<bool> include_prefix_nodes,
                        std::optional<double> min_score, Limit pooled_limit, bool transpositions) {
  const std::u32string query = to_query(term);
  const Result<SearchAndPool> found = unlocked([&] {
    return search_and_pool(self.trie(), query, max_dist, limit, include_prefix_nodes, min_score,
                           pooled_limit, distance_of(transpositions));
  });
  if (!found.ok()) raise_error(found.error());
  return nb::make_tuple(to_python(found.value().videos), to_python(found.value().pooled));
}

CompleteOptions completing(std::uint32_t max_dist, Limit limit, std::size_t exact_prefix,
                           bool transpositions) {
  CompleteOptions options;
  options.max_dist = max_dist;
  options.limit = limit;
  options.exact_prefix = exact_prefix;
  options.distance = distance_of(transpositions);
  return options;
}

nb::list complete_one(const NativeIndex& self, nb::handle text, std::uint32_t max_dist, Limit limit,
                      std::size_t exact_prefix, bool transpositions) {
  const std::u32string query = to_query(text);
  const CompleteOptions options = completing(max_dist, limit, exact_prefix, transpositions);
  return checked(unlocked([&] { return complete(self.trie(), query, options); }));
}

nb::dict complete_stats(const NativeIndex& self, nb::handle text, std::uint32_t max_dist,
                        Limit limit, std::size_t exact_prefix, bool transpositions) {
  const std::u32string query = to_query(text);
  const CompleteOptions options = completing(max_dist, limit, exact_prefix, transpositions);
  CompleteStats stats;
  checked(unlocked([&] { return complete(self.trie(), query, options, &stats); }));
  nb::dict out;
  out["nodes"] = stats.rows + stats.children;
  out["rows"] = stats.rows;
  out["children"] = stats.children;
  out["expanded"] = stats.expanded;
  out["walks"] = stats.walks;
  out["path"] = stats.plain ? "plain" : "fast";
  return out;
}

nb::list videos_of(const NativeIndex& self, std::size_t node) {
  return checked(node_videos(self.trie(), node));
}

nb::list suggest_many(const NativeIndex& self, nb::handle terms, std::uint32_t max_dist,
                      Limit limit, bool transpositions, std::size_t threads) {
  return run_many(terms, threads, [&](std::size_t /*i*/, std::u32string_view query) {
    return suggest(self.trie(), query, max_dist, limit, distance_of(transpositions));
  });
}

nb::list search_many(const NativeIndex& self, nb::handle terms, std::uint32_t max_dist, Limit limit,
                     std::optional<bool> include_prefix_nodes, std::optional<double> min_score,
                     bool transpositions, std::size_t threads) {
  return run_many(terms, threads, [&](std::size_t /*i*/, std::u32string_view query) {
    return self.index.fuzzy_match_video(query, max_dist, limit, include_prefix_nodes, min_score,
                                        distance_of(transpositions));
  });
}

// Each text with its own bound (max_dists[i] for texts[i]).
nb::list complete_many(const NativeIndex& self, nb::handle texts,
                       const std::vector<std::uint32_t>& max_dists, Limit limit,
                       std::size_t exact_prefix, bool transpositions, std::size_t threads) {
  if (nb::len(texts) != max_dists.size()) {
    raise(PyExc_ValueError, "max_dists must hold one bound per text");
  }
  return run_many(texts, threads, [&](std::size_t i, std::u32string_view query) {
    return complete(self.trie(), query,
                    completing(max_dists[i], limit, exact_prefix, transpositions));
  });
}

}  // namespace

void bind_queries(nb::class_<NativeIndex>& cls) {
  cls.def("suggest", &suggest_one, nb::arg("term"), nb::arg("max_dist"), nb::arg("limit").none(),
          nb::arg("transpositions"),
          "(term, distance, count) of the indexed terms within max_dist, closest first, then "
          "most searched, then by term; cut to limit.");
  cls.def("search", &search_one, nb::arg("term"), nb::arg("max_dist"), nb::arg("limit").none(),
          nb::arg("include_prefix_nodes").none(), nb::arg("min_score").none(),
          nb::arg("transpositions"),
          "(video, score), best first: the scores of fuzzy_match_video.");
  cls.def("match_nodes", &match_nodes, nb::arg("term"), nb::arg("max_dist"),
          nb::arg("terminal_only"), nb::arg("transpositions"),
          nb::arg("record").none() = nb::none(),
          "(node, term, distance, is_terminal, total_count) of every node within max_dist, in "
          "trie preorder; each an instance of record (a NamedTuple class) when given.");
  cls.def("pooled_nodes", &pooled_nodes, nb::arg("term"), nb::arg("max_dist"),
          nb::arg("limit").none(), nb::arg("include_prefix_nodes").none(),
          nb::arg("transpositions"),
          "(node, term, distance, is_terminal, count, weight) of the nodes that search pools, "
          "nearest first, then most searched, then by term; cut to limit.");
  cls.def("search_pooled", &search_pooled, nb::arg("term"), nb::arg("max_dist"),
          nb::arg("limit").none(), nb::arg("include_prefix_nodes").none(),
          nb::arg("min_score").none(), nb::arg("pooled_limit").none(), nb::arg("transpositions"),
          "(search(...), pooled_nodes(...)) for the same arguments, from one walk.");
  cls.def("node_videos", &videos_of, nb::arg("node"),
          "A node's top videos with their counts, highest first.");
  cls.def("complete", &complete_one, nb::arg("text"), nb::arg("max_dist"), nb::arg("limit").none(),
          nb::arg("exact_prefix"), nb::arg("transpositions"),
          "(term, distance, count) of the indexed terms that the text is the beginning of, "
          "within max_dist: closest first, then most searched, then by term; cut to limit.");
  cls.def("complete_stats", &complete_stats, nb::arg("text"), nb::arg("max_dist"),
          nb::arg("limit").none(), nb::arg("exact_prefix"), nb::arg("transpositions"),
          "What one complete() call did: nodes touched, rows, children, expanded, walks, "
          "path.");
  cls.def("complete_many", &complete_many, nb::arg("texts"), nb::arg("max_dists"),
          nb::arg("limit").none(), nb::arg("exact_prefix"), nb::arg("transpositions"),
          nb::arg("threads"));
  cls.def("suggest_many", &suggest_many, nb::arg("terms"), nb::arg("max_dist"),
          nb::arg("limit").none(), nb::arg("transpositions"), nb::arg("threads"));
  cls.def("search_many", &search_many, nb::arg("terms"), nb::arg("max_dist"),
          nb::arg("limit").none(), nb::arg("include_prefix_nodes").none(),
          nb::arg("min_score").none(), nb::arg("transpositions"), nb::arg("threads"));
}

}  // namespace tessarin::native
