// Fuzzes reading an index file's mapped form in place, and querying
// whatever it accepts.
//
// Input: one control byte, one byte Q, Q bytes of query parameters, then
// the form. The control byte's bit 0 makes the harness set every checksum
// of the form right before reading it (the head's, and each section's
// whose entry lies inside the form), so that mutations reach the checks of
// the structure, as a crafted file would; bit 1 reads with verify. So the
// seed corpus can be valid forms behind three bytes (fuzz/corpus/
// mapped_form, made by `python -m fuzz.mapped_seeds`).
//
// Checked for every input, beyond the sanitizers' own checks:
// * reading fails only with kDamaged (kValue never: the harness aligns);
// * an accepted form reaches Trust::kSound: every answer keeps the
//   documented bounds (no term or video twice, scores in [0, 1]);
// * the search over its stored aids (the child filter, the forward-backward
//   passes) finds exactly what the plain walk finds;
// * written again, it reads back and answers the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "format/crc32c.h"
#include "format/mapped_form.h"
#include "fuzz_check.h"
#include "query/prefix_search.h"
#include "query/suggest.h"
#include "search/matcher.h"

namespace {

using tessarin::NodeMatch;
using tessarin::Result;
using tessarin::Trie;

template <class T>
T load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <class T>
void store(std::uint8_t* p, T value) {
  std::memcpy(p, &value, sizeof value);
}

// Sets the head's checksum and each in-bounds section's.
void fix_checksums(std::span<std::uint8_t> form) {
  if (form.size() < 16) return;
  const std::uint32_t count = load<std::uint32_t>(form.data() + 8);
  if (count > tessarin::format::kMaxSections || form.size() < 16 + 32 * std::size_t{count}) {
    return;
  }
  for (std::size_t k = 0; k < count; ++k) {
    std::uint8_t* entry = form.data() + 16 + 32 * k;
    const auto offset = load<std::uint64_t>(entry + 8);
    const auto size = load<std::uint64_t>(entry + 16);
    if (offset <= form.size() && size <= form.size() - offset) {
      store(entry + 4, tessarin::crc32c(form.subspan(offset, size)));
    }
  }
  const std::uint32_t head =
      tessarin::crc32c(form.subspan(16, 32 * std::size_t{count}), tessarin::crc32c(form.first(12)));
  store(form.data() + 12, head);
}

std::u32string draw_term(FuzzedDataProvider& in, const Trie& trie) {
  std::u32string term;
  const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 12);
  for (std::size_t k = 0; k < length; ++k) {
    const tessarin::ChildLabels& labels = trie.child_labels();
    term.push_back(in.ConsumeBool() || labels.empty()
                       ? U'a' + in.ConsumeIntegralInRange<char32_t>(0, 3)
                       : labels[in.ConsumeIntegral<std::uint16_t>() % labels.size()]);
  }
  return term;
}

std::vector<NodeMatch> plain_walk(const Trie& trie, std::u32string_view term,
                                  std::uint32_t max_dist, bool terminal_only) {
  std::vector<NodeMatch> out;
  const Result<std::size_t> walked = tessarin::fuzzy_walk<false>(
      trie, term, max_dist, terminal_only,
      [&](std::size_t node, std::uint32_t distance, std::u32string_view) {
        out.push_back({node, distance});
        return tessarin::Walk::kGoOn;
      });
  FUZZ_CHECK(walked.ok(), "the plain walk failed on a sound index");
  return out;
}

void check_answers(const Trie& trie, FuzzedDataProvider& in) {
  const tessarin::PrefixSearch search(trie);
  for (int round = 0; round < 3; ++round) {
    const std::u32string term = draw_term(in, trie);
    const std::uint32_t max_dist = in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
    for (const bool terminal_only : {true, false}) {
      const auto fast = tessarin::fuzzy_match_nodes(trie, term, max_dist, terminal_only);
      FUZZ_CHECK(fast.ok(), fast.ok() ? "" : fast.error().message);
      const std::vector<NodeMatch> plain = plain_walk(trie, term, max_dist, terminal_only);
      FUZZ_CHECK(fast.value().size() == plain.size(), "the fast search and the walk differ");
      for (std::size_t k = 0; k < plain.size(); ++k) {
        FUZZ_CHECK(
            fast.value()[k].node == plain[k].node && fast.value()[k].distance == plain[k].distance,
            "the fast search and the walk differ");
      }
    }
    const auto videos = search.fuzzy_match_video(term, max_dist, std::nullopt, std::nullopt, 0.0);
    FUZZ_CHECK(videos.ok(), videos.ok() ? "" : videos.error().message);
    std::set<std::string> seen;
    for (const tessarin::VideoScore& v : videos.value()) {
      FUZZ_CHECK(v.score >= 0.0 && v.score <= 1.0, "a score outside [0, 1]");
      FUZZ_CHECK(seen.insert(v.id).second, "a video twice");
    }
    const auto terms = tessarin::suggest(trie, term, max_dist, std::nullopt);
    FUZZ_CHECK(terms.ok(), terms.ok() ? "" : terms.error().message);
    std::set<std::string> named;
    for (const auto& s : terms.value()) FUZZ_CHECK(named.insert(s.term).second, "a term twice");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t control = data[0];
  const std::size_t q = std::min<std::size_t>(data[1], size - 2);
  FuzzedDataProvider in(data + 2, q);
  const std::size_t length = size - 2 - q;
  // An aligned copy of the form, as the binding makes one.
  auto words = std::make_shared<std::vector<std::uint64_t>>(length / 8 + 1);
  const std::span<std::uint8_t> form(reinterpret_cast<std::uint8_t*>(words->data()), length);
  if (length != 0) std::memcpy(form.data(), data + 2 + q, length);
  if ((control & 1) != 0) fix_checksums(form);

  Result<Trie> read = tessarin::format::read_mapped(form, words, (control & 2) != 0);
  if (!read.ok()) {
    FUZZ_CHECK(read.error().kind == tessarin::ErrorKind::kDamaged, read.error().message);
    return 0;
  }
  const Trie& trie = read.value();
  FUZZ_CHECK(trie.trust() >= tessarin::Trust::kSound, "an accepted form below the sound level");
  check_answers(trie, in);

  const Result<std::vector<std::uint8_t>> again = tessarin::format::mapped_to_vec(trie);
  FUZZ_CHECK(again.ok(), again.ok() ? "" : again.error().message);
  auto copy = std::make_shared<std::vector<std::uint64_t>>(again.value().size() / 8 + 1);
  std::memcpy(copy->data(), again.value().data(), again.value().size());
  const Result<Trie> reread = tessarin::format::read_mapped(
      {reinterpret_cast<const std::uint8_t*>(copy->data()), again.value().size()}, copy, true);
  FUZZ_CHECK(reread.ok(), reread.ok() ? "" : reread.error().message);
  FUZZ_CHECK(reread.value().node_count() == trie.node_count(), "written again, another index");
  return 0;
}
