// The matcher's walk alone, without Python: rows filled and time per query,
// for each search engine.
//
//   walk_bench INDEX QUERIES MAX_DIST... [--rounds R] [--engines a,b,...]
//
// INDEX is a saved index (PrefixSearch.to_bytes), QUERIES a UTF-8 file with
// one query per line. For each max_dist every engine runs every query, in
// order, R times over (default 5), with a visitor that only counts matches:
//   plain   the plain walk (fuzzy_walk, bit-parallel rows where they apply)
//   banded  the plain walk with the banded rows forced
//   filter  search_walk without the forward-backward passes
//   auto    search_walk as the module runs it (SearchEngine::kAuto)
//   path    auto, keeping the matched term's code points as fuzzy_match does
//   video   the node search of fuzzy_match_video's automatic mode: terminal
//           nodes, and when there are none, every node (rows of both)
//   video-plain  the same with the plain walk
//   osa     the walk under transpositions (optimal string alignment), as
//           suggest(..., transpositions=True) runs it
// Each query's median time over the R rounds is kept, as the suite keeps for
// its Python timings. Output, one line per query and engine:
//
//   max_dist <TAB> engine <TAB> query number <TAB> rows filled
//            <TAB> matches <TAB> nanoseconds <TAB> path taken
//
// and on standard error, once, what the fast search derived from the index:
//   derived <TAB> seconds <TAB> bytes <TAB> index bytes <TAB> saved bytes
// (the derive runs before the timed rounds, as on a query's first use).
//
// bench/run.py and bench/walk_paths.py build it (cmake -DTESSARIN_BENCH=ON,
// target walk_bench) and feed it the suite's queries.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "format/saved_form.h"
#include "search/matcher.h"
#include "search/transpositions.h"

namespace {

// UTF-8 to code points; the suite writes valid UTF-8, so a bad byte only
// needs to not crash: it becomes U+FFFD.
std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size()) {
      out.push_back(U'\uFFFD');
      ++i;
      continue;
    }
    char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(cp);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

std::vector<std::uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: walk_bench INDEX QUERIES MAX_DIST... [--rounds R]\n");
    return 2;
  }
  int rounds = 5;
  std::string engine_list = "plain,banded,filter,auto,path,video,video-plain,osa";
  std::vector<std::uint32_t> dists;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--engines" && i + 1 < argc) {
      engine_list = argv[++i];
    } else {
      dists.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    }
  }
  const std::vector<std::uint8_t> bytes = read_file(argv[1]);
  const std::string wanted = "," + engine_list + ",";
  auto decoded = tessarin::encoding::decode_from_slice_with_context(bytes);
  if (!decoded.ok()) {
    std::fprintf(stderr, "cannot load %s: %s\n", argv[1], decoded.error().message.c_str());
    return 1;
  }
  const tessarin::Trie& trie = decoded.value().trie;
  if (trie.trust() < tessarin::Trust::kInBounds) {
    std::fprintf(stderr, "%s: some reads of a walk would fall outside the arrays\n", argv[1]);
    return 1;
  }
  std::vector<std::u32string> queries;
  {
    std::ifstream in(argv[2]);
    for (std::string line; std::getline(in, line);) queries.push_back(decode_utf8(line));
  }

  // What the fast search derives, built now rather than inside the first
  // timed query.
  (void)trie.derived().reversed(trie);
  std::fprintf(stderr, "derived\t%.6f\t%zu\t%zu\t%zu\n", trie.derived().derive_seconds(),
               trie.derived().memory_bytes(), trie.memory_bytes() - trie.derived().memory_bytes(),
               bytes.size());

  using Clock = std::chrono::steady_clock;
  using tessarin::SearchEngine;
  using tessarin::SearchPath;
  std::size_t sink = 0;  // keeps the visitor's reads of the path alive
  enum class Kind { kPlain, kSearch, kVideo, kOsa };
  const struct {
    const char* name;
    Kind kind;
    tessarin::RowEngine rows;
    SearchEngine search;
    bool with_path;
  } engines[] = {
      {"plain", Kind::kPlain, tessarin::RowEngine::kAuto, SearchEngine::kPlain, false},
      {"banded", Kind::kPlain, tessarin::RowEngine::kBanded, SearchEngine::kPlain, false},
      {"filter", Kind::kSearch, tessarin::RowEngine::kAuto, SearchEngine::kFilter, false},
      {"auto", Kind::kSearch, tessarin::RowEngine::kAuto, SearchEngine::kAuto, false},
      {"path", Kind::kSearch, tessarin::RowEngine::kAuto, SearchEngine::kAuto, true},
      {"video", Kind::kVideo, tessarin::RowEngine::kAuto, SearchEngine::kAuto, false},
      {"video-plain", Kind::kVideo, tessarin::RowEngine::kAuto, SearchEngine::kPlain, false},
      {"osa", Kind::kOsa, tessarin::RowEngine::kAuto, SearchEngine::kAuto, false}};
  const char* path_names[] = {"plain", "filtered", "forward-backward"};
  // Rounds run over the whole query list, one query after another, so a
  // query meets the caches that the queries before it left, as it does when
  // the suite calls fuzzy_match from Python; repeating one query in a tight
  // loop would time it against warm caches.
  const std::size_t n = queries.size();
  for (const std::uint32_t k : dists) {
    for (const auto& e : engines) {
      if (wanted.find("," + std::string(e.name) + ",") == std::string::npos) continue;
      std::vector<std::size_t> visited(n);
      std::vector<std::size_t> matches(n);
      std::vector<SearchPath> taken(n, SearchPath::kPlain);
      std::vector<std::vector<std::int64_t>> times(n);
      for (int r = 0; r < rounds; ++r) {
        for (std::size_t qi = 0; qi < n; ++qi) {
          std::size_t found = 0;
          auto count = [&](std::size_t, std::uint32_t, std::u32string_view path) {
            ++found;
            sink += path.size();
            return tessarin::Walk::kGoOn;
          };
          // fuzzy_match_video's node search: terminal nodes, or all when
          // there are none; the path is that of the last search.
          const auto video = [&]() -> tessarin::Result<std::size_t> {
            auto first = tessarin::search_walk<false>(trie, queries[qi], k, true, count, e.search,
                                                      &taken[qi]);
            if (!first.ok() || found > 0) return first;
            auto second = tessarin::search_walk<false>(trie, queries[qi], k, false, count, e.search,
                                                       &taken[qi]);
            if (!second.ok()) return second;
            return first.value() + second.value();
          };
          const auto start = Clock::now();
          auto walked =
              e.kind == Kind::kVideo ? video()
              : e.kind == Kind::kOsa ? tessarin::search_walk<false, tessarin::Transpositions>(
                                           trie, queries[qi], k, /*terminal_only=*/true, count)
              : e.kind == Kind::kPlain
                  ? tessarin::fuzzy_walk<false>(trie, queries[qi], k,
                                                /*terminal_only=*/true, count, e.rows)
              : e.with_path
                  ? tessarin::search_walk<true>(trie, queries[qi], k,
                                                /*terminal_only=*/true, count, e.search, &taken[qi])
                  : tessarin::search_walk<false>(trie, queries[qi], k,
                                                 /*terminal_only=*/true, count, e.search,
                                                 &taken[qi]);
          const auto ns =
              std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
          if (!walked.ok()) {
            std::fprintf(stderr, "walk failed: %s\n", walked.error().message.c_str());
            return 1;
          }
          visited[qi] = walked.value();
          matches[qi] = found;
          times[qi].push_back(ns);
        }
      }
      for (std::size_t qi = 0; qi < n; ++qi) {
        auto& t = times[qi];
        std::nth_element(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(t.size() / 2), t.end());
        std::printf("%u\t%s\t%zu\t%zu\t%zu\t%lld\t%s\n", k, e.name, qi, visited[qi], matches[qi],
                    static_cast<long long>(t[t.size() / 2]),
                    path_names[static_cast<int>(taken[qi])]);
      }
    }
  }
  std::fprintf(stderr, "checksum %zu\n", sink);
  return 0;
}
