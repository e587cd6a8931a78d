// RecordBuilder: (term, video, count) records in, an index's arrays out.
//
// Records are checked one at a time (record_checks.h: the video, the
// count, the identifier's kind, a new term) and either added whole or
// refused with a Rejection that says why; a refused record changes
// nothing. A term or a video is checked the first time it is seen only.
// What is kept: each distinct term once (TermTable), each distinct video
// once (VideoTable), and the (term, video) sums (PairLog) — memory grows
// with the distinct terms and pairs, never with the records.
//
// Keeping terms out (optional, a Selection): a term that the filter
// excludes (term_filter.h; asked once per distinct term, once normalised)
// takes no records: its records are checked like any, then counted as
// excluded and dropped, their videos not kept. A term whose summed count
// is below `min_count` is dropped when the index is laid out, with its
// pairs and any video that only it led to, so the index is that of the
// kept records alone.
//
// A weight (a record's recency, in whole units) multiplies a record's
// count; the product saturates at 2^32 - 1, which, like a sum reaching
// it, leaves the pair's count saturated.
//
// Normalisation (optional) rewrites each distinct term once, when it first
// arrives: a sequence of steps applied in order. ASCII terms are rewritten
// here (casefold lowers A-Z; nfkc leaves ASCII as it is; spaces trims and
// collapses runs of the whitespace that Python's str.split() splits on);
// any other term goes to the caller's normaliser, which must agree with
// those rules on ASCII (Python's str.casefold, unicodedata.normalize and
// " ".join(text.split()) do). Terms that normalise alike are one term; a
// term with nothing left once normalised is refused (kEmptyTerm).
//
// Thread safety: none; one caller at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "build/layout.h"
#include "build/pair_log.h"
#include "build/record_checks.h"
#include "build/term_filter.h"
#include "build/term_table.h"
#include "build/video_table.h"
#include "index/from_arrays.h"
#include "util/result.h"

namespace tessarin::builder {

enum class NormalizeStep : std::uint8_t { kNfkc, kCasefold, kSpaces };

// The ASCII form of the steps, applied in order to an ASCII term.
[[nodiscard]] std::string normalize_ascii(std::string_view term,
                                          const std::vector<NormalizeStep>& steps);

// The terms kept out of an index.
struct TermSelection {
  TermFilter exclude;
  std::uint64_t min_count = 0;  // a term's summed count must reach it
};

class RecordBuilder {
 public:
  // Rewrites a non-ASCII term (UTF-8 in, UTF-8 out); an Error rejects the
  // record with kNormalizer.
  using Normalizer = std::function<Result<std::string>(std::string_view)>;

  RecordBuilder() = default;
  // `min_compaction`: see PairLog.
  RecordBuilder(std::vector<NormalizeStep> steps, Normalizer normalizer, std::size_t min_compaction,
                TermSelection selection = {})
      : steps_(std::move(steps)),
        normalizer_(std::move(normalizer)),
        selection_(std::move(selection)),
        log_(min_compaction) {}

  // What a lookup made ahead of add() found: the term's hash_bytes() and
  // its id in lookup_table() (TermTable::kAbsent if it was not there).
  struct Hint {
    std::uint64_t hash = 0;
    std::uint32_t id = TermTable::kAbsent;
  };
  // The table in which a record's term is looked up first (the raw terms
  // when normalising).
  [[nodiscard]] const TermTable& lookup_table() const { return steps_.empty() ? terms_ : raw_; }
  // Starts loading what add() will read to find this video.
  void prefetch_video(const VideoValue& video) const {
    if (video.kind == IdMode::Int32) {
      videos_.prefetch(video.integer);
    } else {
      videos_.prefetch(video.uuid);
    }
  }

  // Adds one record after its checks (record_checks.h); `form`: what the
  // caller knows of the term's bytes; `hint`: an earlier lookup of the term.
  // `weight` multiplies the count.
  [[nodiscard]] std::optional<Rejection> add(std::string_view term, TermForm form,
                                             const Field& video, const Field& count,
                                             const Hint* hint = nullptr, std::uint32_t weight = 1) {
    VideoValue value;
    if (auto refused = read_video(video, value)) return refused;
    return add(term, form, value, count, hint, weight);
  }
  // The same with the video read already (read_video()).
  [[nodiscard]] std::optional<Rejection> add(std::string_view term, TermForm form,
                                             const VideoValue& video, const Field& count,
                                             const Hint* hint = nullptr, std::uint32_t weight = 1) {
    std::uint32_t n = 0;
    if (auto refused = read_count(count, n)) return refused;
    const std::uint64_t weighed = std::uint64_t{n} * weight;
    return add_checked(term, form, video,
                       static_cast<std::uint32_t>(std::min<std::uint64_t>(weighed, 0xFFFFFFFFu)),
                       hint);
  }

  // Records added; records taken but excluded (their terms kept out).
  [[nodiscard]] std::uint64_t records() const { return records_; }
  [[nodiscard]] std::uint64_t excluded_records() const { return excluded_records_; }
  // Distinct terms (once normalised) kept out by the filter so far.
  [[nodiscard]] std::size_t excluded_terms() const { return excluded_terms_; }
  // Terms the last lay_out() or build() dropped below the minimum count.
  [[nodiscard]] std::size_t dropped_terms() const { return dropped_terms_; }
  // The distinct (term, video) pairs as the last lay_out() or build() found
  // them (0 before the first; kept after a release).
  [[nodiscard]] std::uint64_t pairs() const { return pairs_; }
  [[nodiscard]] std::size_t terms() const { return terms_.size(); }
  [[nodiscard]] std::size_t videos() const { return videos_.size(); }
  // The kind of the videos so far; none before the first.
  [[nodiscard]] std::optional<IdMode> kind() const { return videos_.kind(); }
  [[nodiscard]] std::size_t memory_bytes() const;

  // The arrays of the index of the records so far (layout.h). The builder
  // stays usable; with `release`, it gives its memory up first and holds
  // nothing afterwards (for a caller that builds once).
  [[nodiscard]] BuildInput lay_out(std::size_t video_top_n, const StepProgress& progress,
                                   bool release = false);
  // The index itself (layout.h's build_trie()), with the same `release`.
  [[nodiscard]] Trie build(std::size_t video_top_n, const StepProgress& progress,
                           bool release = false);

 private:
  [[nodiscard]] std::optional<Rejection> add_checked(std::string_view term, TermForm form,
                                                     const VideoValue& video, std::uint32_t count,
                                                     const Hint* hint);
  // Renumbers the terms in sorted order and compacts the log (layout.h's
  // precondition); with `release`, drops what only adding records needs.
  void prepare(bool release);
  // With `release`: the builder holds nothing any more.
  void clear();
  // After prepare(): the tables of the kept terms only, their pairs and
  // videos, numbered in the same orders; none when every term is kept.
  // With `release`, the builder's own tables are used up.
  struct Tables {
    TermTable terms;
    PairLog log;
    VideoTable videos;
  };
  [[nodiscard]] std::optional<Tables> kept_tables(bool release);
  // The checks of a new term; with normalisation, also its normalised form.
  [[nodiscard]] std::optional<Rejection> check_new_term(std::string_view term, TermForm form,
                                                        std::string& normalized) const;

  std::vector<NormalizeStep> steps_;
  Normalizer normalizer_;
  TermSelection selection_;
  std::vector<bool> excluded_;  // by term id, when the filter is not empty
  std::size_t excluded_terms_ = 0;
  std::size_t dropped_terms_ = 0;
  std::uint64_t excluded_records_ = 0;
  TermTable raw_;  // with normalisation: each raw term seen, mapped by raw_to_term_
  std::vector<std::uint32_t> raw_to_term_;
  TermTable terms_;
  VideoTable videos_;
  PairLog log_;
  std::uint64_t records_ = 0;
  std::uint64_t pairs_ = 0;
};

}  // namespace tessarin::builder
