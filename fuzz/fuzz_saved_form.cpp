// Fuzzes loading a saved index and querying whatever loads.
//
// The input is a saved form followed by query parameters: the decoder reads
// the saved form from the front and ignores what follows, and the harness
// draws the queries from the bytes the decoder left over. So the seed
// corpus can be plain saved forms, and a mutation anywhere reaches either
// the decoder or the queries.
//
// Checked for every input, beyond the sanitizers' own checks:
// * decoding fails only with a decode error whose text names its kind;
// * a loaded index saves to its shortest form (no longer than what was
//   read), and that form loads and saves to the same bytes again;
// * fuzzy_match, fuzzy_match_nodes (both switches, both row engines) and
//   fuzzy_match_video either succeed or fail with the internal-failure
//   error, never anything else; where they succeed, their results agree
//   with each other and with their bounds (distance, limit, threshold,
//   order, identifier spelling);
// * on an index that passed the bounds check when loaded (walked with plain
//   reads), the checked walk finds the same nodes or the same failure;
// * on an index that reaches Trust::kSound (what the package loads), every
//   answer keeps the documented bounds: no term or video twice, no score
//   above 1;
// * complete succeeds or fails with the internal-failure error, the same
//   way on the fast and the plain path, with the same completions, in
//   order, within the limit and the bound.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/saved_form.h"
#include "fuzz_check.h"
#include "index/validation.h"
#include "query/complete.h"
#include "query/prefix_search.h"
#include "search/matcher.h"

namespace {

using tessarin::Error;
using tessarin::ErrorKind;
using tessarin::NodeMatch;
using tessarin::Result;
using tessarin::RowEngine;
using tessarin::Trie;
using tessarin::Walk;

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void check_decode_error(const Error& error) {
  FUZZ_CHECK(error.kind == ErrorKind::kDecode, error.message);
  const std::string_view text = error.message;
  FUZZ_CHECK(starts_with(text, "UnexpectedEnd { additional: ") ||
                 starts_with(text, "InvalidIntegerType { expected: ") ||
                 starts_with(text, "UnexpectedVariant { type_name: ") ||
                 starts_with(text, "InvalidCharEncoding([") ||
                 starts_with(text, "InvalidBooleanValue("),
             error.message);
}

void check_internal(const Error& error) {
  FUZZ_CHECK(error.kind == ErrorKind::kInternal, error.message);
  FUZZ_CHECK(starts_with(error.message, "corrupt index: "), error.message);
}

// The round trip: shortest form, stable under a second load and save.
void check_round_trip(const Trie& trie, std::size_t consumed) {
  // encode_to_vec saves through the same encode() as PrefixSearch.to_bytes,
  // which fails if the measured size and the bytes written disagree.
  const Result<std::vector<std::uint8_t>> encoded = tessarin::encoding::encode_to_vec(trie);
  FUZZ_CHECK(encoded.ok(), encoded.ok() ? "" : encoded.error().message);
  const std::vector<std::uint8_t>& saved = encoded.value();
  FUZZ_CHECK(saved.size() <= consumed, "the saved form is longer than what was read");
  Result<tessarin::encoding::DecodedTrie> again =
      tessarin::encoding::decode_from_slice_with_context(saved);
  FUZZ_CHECK(again.ok(), again.ok() ? "" : again.error().message);
  FUZZ_CHECK(again.value().consumed == saved.size(), "the saved form was not read whole");
  const Result<std::vector<std::uint8_t>> resaved =
      tessarin::encoding::encode_to_vec(again.value().trie);
  FUZZ_CHECK(resaved.ok() && resaved.value() == saved,
             "saving a loaded saved form changed its bytes");
}

char32_t any_scalar(std::uint32_t raw) {
  char32_t c = raw % 0x110000;
  if (c >= 0xD800 && c <= 0xDFFF) c -= 0x800;  // no surrogates: the binding refuses them
  return c;
}

// A query drawn mostly from the index's own labels, so that it matches.
std::u32string draw_term(FuzzedDataProvider& in, const Trie& trie) {
  const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 80);
  std::u32string term;
  for (std::size_t k = 0; k < length && in.remaining_bytes() > 0; ++k) {
    const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 224 && !trie.child_labels().empty()) {
      term.push_back(
          trie.child_labels()[in.ConsumeIntegral<std::uint16_t>() % trie.child_labels().size()]);
    } else {
      term.push_back(any_scalar(in.ConsumeIntegral<std::uint32_t>()));
    }
  }
  return term;
}

std::uint32_t draw_max_dist(FuzzedDataProvider& in) {
  const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
  if (pick < 200) return pick % 6;
  if (pick < 240) return in.ConsumeIntegral<std::uint16_t>();
  return in.ConsumeIntegral<std::uint32_t>();
}

std::optional<std::size_t> draw_limit(FuzzedDataProvider& in) {
  const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
  if (pick < 128) return std::nullopt;
  if (pick < 250) return pick % 8;
  return in.ConsumeIntegral<std::size_t>();
}

// The walk with one row engine, as (node, distance) pairs.
Result<std::vector<NodeMatch>> walk_with(const Trie& trie, std::u32string_view term,
                                         std::uint32_t max_dist, bool terminal_only,
                                         RowEngine engine) {
  std::vector<NodeMatch> out;
  const Result<std::size_t> walked = tessarin::fuzzy_walk<false>(
      trie, term, max_dist, terminal_only,
      [&](std::size_t node, std::uint32_t distance, std::u32string_view) {
        out.push_back({node, distance});
        return Walk::kGoOn;
      },
      engine);
  if (!walked.ok()) return walked.error();
  return out;
}

bool same(const std::vector<NodeMatch>& a, const std::vector<NodeMatch>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].node != b[k].node || a[k].distance != b[k].distance) return false;
  }
  return true;
}

// `part` is `whole` with entries left out, the rest in the same order.
bool subsequence(const std::vector<NodeMatch>& part, const std::vector<NodeMatch>& whole) {
  std::size_t k = 0;
  for (const NodeMatch& m : whole) {
    if (k < part.size() && part[k].node == m.node && part[k].distance == m.distance) ++k;
  }
  return k == part.size();
}

// No entry of `list` has the same key as another.
template <class T, class Key>
bool distinct(const std::vector<T>& list, Key key) {
  std::set<std::string> seen;
  for (const T& entry : list) {
    if (!seen.insert(key(entry)).second) return false;
  }
  return true;
}

void check_matchers(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                    std::optional<std::size_t> limit, bool sound) {
  const auto terms = tessarin::fuzzy_match(trie, term, max_dist, limit);
  const auto terminal = tessarin::fuzzy_match_nodes(trie, term, max_dist, true);
  const auto all = tessarin::fuzzy_match_nodes(trie, term, max_dist, false);
  if (!terms.ok()) check_internal(terms.error());
  if (!terminal.ok()) check_internal(terminal.error());
  if (!all.ok()) check_internal(all.error());

  // The plain walk (banded rows) and fuzzy_match_nodes (the fast search
  // where it applies, search/matcher.h) walk the same way, failures
  // included.
  // So do the blocked rows.
  for (const bool terminal_only : {true, false}) {
    const auto& automatic = terminal_only ? terminal : all;
    for (const RowEngine engine : {RowEngine::kBanded, RowEngine::kBlocked}) {
      const auto forced = walk_with(trie, term, max_dist, terminal_only, engine);
      FUZZ_CHECK(forced.ok() == automatic.ok(), "the row engines disagree on failing");
      if (forced.ok()) {
        FUZZ_CHECK(same(forced.value(), automatic.value()), "the row engines disagree");
      } else {
        FUZZ_CHECK(forced.error().message == automatic.error().message, forced.error().message);
      }
    }
  }

  // An index that passed the bounds check on loading is walked with plain
  // reads; the checked walk must see exactly the same.
  if (trie.trust() >= tessarin::Trust::kInBounds) {
    const Trie checked = Trie::with_checked_reads(trie.to_arrays());
    for (const bool terminal_only : {true, false}) {
      const auto plain = terminal_only ? terminal : all;
      const auto slow = tessarin::fuzzy_match_nodes(checked, term, max_dist, terminal_only);
      FUZZ_CHECK(slow.ok() == plain.ok(), "the plain and the checked walk disagree on failing");
      if (slow.ok()) {
        FUZZ_CHECK(same(slow.value(), plain.value()), "the plain and the checked walk disagree");
      } else {
        FUZZ_CHECK(slow.error().message == plain.error().message, slow.error().message);
      }
    }
  }

  if (terminal.ok()) {
    // The term matcher stops at its limit, so it may succeed where the
    // node matcher, walking on, fails; never the other way round.
    FUZZ_CHECK(terms.ok(), "fuzzy_match failed where fuzzy_match_nodes did not");
    const std::vector<NodeMatch>& nodes = terminal.value();
    const std::size_t expected = limit ? std::min<std::size_t>(*limit, nodes.size()) : nodes.size();
    FUZZ_CHECK(terms.value().size() == expected, "fuzzy_match and its limit disagree");
    for (std::size_t k = 0; k < expected; ++k) {
      FUZZ_CHECK(terms.value()[k].node == nodes[k].node, "fuzzy_match reports another node");
      FUZZ_CHECK(terms.value()[k].distance == nodes[k].distance, "distances differ");
    }
    for (const NodeMatch& m : nodes) FUZZ_CHECK(m.distance <= max_dist, "beyond max_dist");
  }
  if (terms.ok() && limit) FUZZ_CHECK(terms.value().size() <= *limit, "more than limit");
  if (terms.ok() && sound) {
    FUZZ_CHECK(distinct(terms.value(), [](const tessarin::MatchResult& m) { return m.term; }),
               "a term twice from a sound index");
  }
  if (terminal.ok() && all.ok()) {
    FUZZ_CHECK(subsequence(terminal.value(), all.value()), "terminal nodes missing from all");
  }
}

bool is_decimal(std::string_view text) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool is_uuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const bool hyphen = k == 8 || k == 13 || k == 18 || k == 23;
    const char c = text[k];
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void check_ranking(const tessarin::PrefixSearch& search, FuzzedDataProvider& in,
                   std::u32string_view term, std::uint32_t max_dist,
                   std::optional<std::size_t> limit, bool sound) {
  std::optional<bool> prefix_nodes;
  const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
  if (pick % 3 != 0) prefix_nodes = pick % 3 == 1;
  std::optional<double> min_score;
  if (in.ConsumeBool()) {
    min_score = in.ConsumeBool() ? in.ConsumeFloatingPoint<double>()
                                 : in.ConsumeProbability<double>() * 0.2 - 0.05;
  }
  const auto scores = search.fuzzy_match_video(term, max_dist, limit, prefix_nodes, min_score);
  if (!scores.ok()) {
    check_internal(scores.error());
    return;
  }
  const double threshold = min_score.value_or(0.01);
  const auto& list = scores.value();
  if (limit) FUZZ_CHECK(list.size() <= *limit, "more videos than limit");
  if (std::isnan(threshold)) FUZZ_CHECK(list.empty(), "a NaN threshold kept something");
  for (std::size_t k = 0; k < list.size(); ++k) {
    FUZZ_CHECK(list[k].score >= threshold, "a score below the threshold");
    if (k > 0) FUZZ_CHECK(list[k - 1].score >= list[k].score, "scores out of order");
    const bool int32 = search.trie().id_mode() == tessarin::IdMode::Int32;
    FUZZ_CHECK(int32 ? is_decimal(list[k].id) : is_uuid(list[k].id), list[k].id);
    if (sound) FUZZ_CHECK(list[k].score <= 1.0, "a score above 1 from a sound index");
  }
  if (sound) {
    FUZZ_CHECK(distinct(list, [](const tessarin::VideoScore& v) { return v.id; }),
               "a video twice from a sound index");
  }
}

void check_completions(const Trie& trie, FuzzedDataProvider& in, std::u32string_view text,
                       std::uint32_t max_dist, std::optional<std::size_t> limit, bool sound) {
  tessarin::CompleteOptions how;
  how.max_dist = max_dist;
  how.limit = limit;
  how.exact_prefix = in.ConsumeIntegralInRange<std::size_t>(0, 3);
  if (in.ConsumeBool()) how.distance = tessarin::Distance::kOsa;
  const auto fast = tessarin::complete(trie, text, how);
  how.engine = tessarin::CompleteEngine::kPlain;
  const auto plain = tessarin::complete(trie, text, how);
  FUZZ_CHECK(fast.ok() == plain.ok(), "the completion paths disagree on failing");
  if (!fast.ok()) {
    check_internal(fast.error());
    FUZZ_CHECK(fast.error().message == plain.error().message, fast.error().message);
    return;
  }
  const auto& got = fast.value();
  FUZZ_CHECK(got.size() == plain.value().size(), "the completion paths disagree");
  for (std::size_t k = 0; k < got.size(); ++k) {
    const tessarin::Completion& a = got[k];
    const tessarin::Completion& b = plain.value()[k];
    FUZZ_CHECK(
        a.term == b.term && a.node == b.node && a.distance == b.distance && a.count == b.count,
        "the completion paths disagree on " + a.term);
    FUZZ_CHECK(a.distance <= max_dist, "a completion beyond max_dist");
  }
  if (limit) FUZZ_CHECK(got.size() <= *limit, "more completions than limit");
  if (sound) {
    FUZZ_CHECK(distinct(got, [](const tessarin::Completion& c) { return c.term; }),
               "a completion twice from a sound index");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Result<tessarin::encoding::DecodedTrie> decoded =
      tessarin::encoding::decode_from_slice_with_context(std::span(data, size));
  if (!decoded.ok()) {
    check_decode_error(decoded.error());
    return 0;
  }
  const std::size_t consumed = decoded.value().consumed;
  FUZZ_CHECK(consumed <= size, "read past the input");
  check_round_trip(decoded.value().trie, consumed);

  const tessarin::PrefixSearch search(std::move(decoded.value().trie));
  const bool sound =
      !tessarin::find_fault(search.trie().view(), tessarin::Trust::kSound).has_value();
  FuzzedDataProvider in(data + consumed, size - consumed);
  for (int round = 0; round < 2; ++round) {
    const std::u32string term = draw_term(in, search.trie());
    const std::uint32_t max_dist = draw_max_dist(in);
    const std::optional<std::size_t> limit = draw_limit(in);
    check_matchers(search.trie(), term, max_dist, limit, sound);
    check_ranking(search, in, term, max_dist, limit, sound);
    check_completions(search.trie(), in, term, max_dist, limit, sound);
  }
  return 0;
}
