#include "build/record_builder.h"

#include <algorithm>
#include <span>
#include <utility>

namespace tessarin::builder {
namespace {

// What Python's str.split() splits on, within ASCII.
bool is_python_space(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string normalize_ascii(std::string_view term, const std::vector<NormalizeStep>& steps) {
  std::string text(term);
  for (const NormalizeStep step : steps) {
    if (step == NormalizeStep::kCasefold) {
      for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
    } else if (step == NormalizeStep::kSpaces) {
      std::string out;
      out.reserve(text.size());
      bool space = false;
      for (const char c : text) {
        if (is_python_space(static_cast<unsigned char>(c))) {
          space = !out.empty();
        } else {
          if (space) out.push_back(' ');
          space = false;
          out.push_back(c);
        }
      }
      text = std::move(out);
    }  // kNfkc: ASCII is its own NFKC form
  }
  return text;
}

std::optional<Rejection> RecordBuilder::check_new_term(std::string_view term, TermForm form,
                                                       std::string& normalized) const {
  if (auto refused = check_term(term, form)) return refused;
  if (steps_.empty()) return std::nullopt;
  if (is_ascii(term)) {
    normalized = normalize_ascii(term, steps_);
  } else {
    Result<std::string> done = normalizer_(term);
    if (!done.ok()) return Rejection{Fault::kNormalizer, quoted(term), done.error().message};
    normalized = std::move(done.value());
  }
  if (normalized.empty()) {
    std::string shown = quoted(term);
    std::string message = "the term " + shown + " is empty once normalised";
    return Rejection{Fault::kEmptyTerm, std::move(shown), std::move(message)};
  }
  return std::nullopt;
}

std::optional<Rejection> RecordBuilder::add_checked(std::string_view term, TermForm form,
                                                    const VideoValue& video, std::uint32_t count,
                                                    const Hint* hint) {
  const std::optional<std::uint32_t> position =
      video.kind == IdMode::Int32 ? videos_.find(video.integer) : videos_.find(video.uuid);
  if (!position) {
    if (auto refused = kind_mismatch(videos_.kind(), video)) return refused;
  }
  const bool normalizing = !steps_.empty();
  TermTable& seen = normalizing ? raw_ : terms_;
  const std::uint64_t hash = hint != nullptr ? hint->hash : hash_bytes(term);
  // A hint that found the term is final (ids never change); one that did
  // not may be stale, since an earlier record may have added the term.
  std::optional<std::uint32_t> id;
  if (hint != nullptr && hint->id != TermTable::kAbsent) {
    id = hint->id;
  } else {
    id = seen.find(term, hash);
  }
  std::string normalized;
  if (!id) {
    if (auto refused = check_new_term(term, form, normalized)) return refused;
    const std::size_t known = terms_.size();
    if (normalizing) {
      const std::uint64_t normalized_hash = hash_bytes(normalized);
      std::optional<std::uint32_t> target = terms_.find(normalized, normalized_hash);
      if (!target) target = terms_.insert(normalized, normalized_hash);
      raw_.insert(term, hash);
      raw_to_term_.push_back(*target);
      id = target;
    } else {
      id = terms_.insert(term, hash);
    }
    if (!selection_.exclude.empty() && terms_.size() > known) {
      const bool out = selection_.exclude.excludes(terms_.term(*id));
      excluded_.push_back(out);
      excluded_terms_ += out ? 1 : 0;
    }
  } else if (normalizing) {
    id = raw_to_term_[*id];
  }
  if (!excluded_.empty() && excluded_[*id]) {
    ++excluded_records_;
    return std::nullopt;
  }
  const std::uint32_t video_position =
      position ? *position
               : (video.kind == IdMode::Int32 ? videos_.insert(video.integer)
                                              : videos_.insert(video.uuid));
  log_.add(*id, video_position, count, terms_.size());
  ++records_;
  return std::nullopt;
}

std::size_t RecordBuilder::memory_bytes() const {
  return raw_.memory_bytes() + raw_to_term_.capacity() * 4 + terms_.memory_bytes() +
         videos_.memory_bytes() + log_.memory_bytes();
}

void RecordBuilder::prepare(bool release) {
  // Terms renumbered in the order of their bytes, their bytes and their
  // pairs laid out in that order (the compaction sorts the pairs by the new
  // numbers): the layout then reads everything once, front to back.
  const std::vector<std::uint32_t> order = sorted_terms(terms_);
  std::vector<std::uint32_t> rank(order.size());
  for (std::uint32_t k = 0; k < order.size(); ++k) rank[order[k]] = k;
  const std::vector<std::uint32_t> video_rank = videos_.sorted_positions();
  videos_.reorder(video_rank);
  log_.rename(rank, video_rank);
  log_.compact(terms_.size());
  pairs_ = 0;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    const std::span<const PairEntry> bucket = log_.bucket(t);
    for (std::size_t k = 0; k < bucket.size(); ++k) {
      pairs_ += k == 0 || bucket[k].video != bucket[k - 1].video ? 1 : 0;
    }
  }
  if (!excluded_.empty()) {
    std::vector<bool> renamed(excluded_.size());
    for (std::size_t t = 0; t < excluded_.size(); ++t) renamed[rank[t]] = excluded_[t];
    excluded_.swap(renamed);
  }
  if (release) {
    raw_ = TermTable();
    std::vector<std::uint32_t>().swap(raw_to_term_);
    std::vector<std::uint32_t>().swap(rank);
  } else {
    for (std::uint32_t& id : raw_to_term_) id = rank[id];
  }
  terms_ = terms_.reordered(order, release ? nullptr : &rank);
}

void RecordBuilder::clear() {
  terms_ = TermTable();
  log_.clear();
  videos_ = VideoTable();
  std::vector<bool>().swap(excluded_);
  records_ = 0;
}

std::optional<RecordBuilder::Tables> RecordBuilder::kept_tables(bool release) {
  dropped_terms_ = 0;
  if (excluded_terms_ == 0 && selection_.min_count == 0) return std::nullopt;
  // Which terms stay (by their sums, exact), numbered in their order.
  constexpr std::uint32_t kDropped = PairLog::kDropped;
  const std::size_t m = terms_.size();
  std::vector<std::uint32_t> term_map(m, kDropped);
  std::vector<std::uint32_t> order;
  for (std::size_t t = 0; t < m; ++t) {
    if (!excluded_.empty() && excluded_[t]) continue;
    std::uint64_t sum = 0;
    for (const PairEntry& e : log_.bucket(t)) sum += e.count;
    if (sum < selection_.min_count) {
      ++dropped_terms_;
      continue;
    }
    term_map[t] = static_cast<std::uint32_t>(order.size());
    order.push_back(static_cast<std::uint32_t>(t));
  }
  if (order.size() == m) return std::nullopt;
  // The videos that kept terms lead to, in the table's (sorted) order.
  std::vector<std::uint32_t> video_map(videos_.size(), kDropped);
  for (const std::uint32_t t : order) {
    for (const PairEntry& e : log_.bucket(t)) video_map[e.video] = 0;
  }
  Tables kept;
  for (std::uint32_t v = 0; v < video_map.size(); ++v) {
    if (video_map[v] == kDropped) continue;
    video_map[v] = videos_.kind() == IdMode::Int32 ? kept.videos.insert(videos_.ints()[v])
                                                   : kept.videos.insert(videos_.uuids()[v]);
  }
  kept.terms = terms_.reordered(order, nullptr);
  kept.log = release ? std::move(log_) : log_;
  kept.log.retain(term_map, video_map, order.size());
  if (release) clear();
  return kept;
}

BuildInput RecordBuilder::lay_out(std::size_t video_top_n, const StepProgress& progress,
                                  bool release) {
  prepare(release);
  std::optional<Tables> kept = kept_tables(release);
  BuildInput input =
      kept ? builder::lay_out(kept->terms, kept->log, kept->videos, video_top_n, progress)
           : builder::lay_out(terms_, log_, videos_, video_top_n, progress);
  if (release) clear();
  return input;
}

Trie RecordBuilder::build(std::size_t video_top_n, const StepProgress& progress, bool release) {
  prepare(release);
  std::optional<Tables> kept = kept_tables(release);
  Trie trie =
      kept ? builder::build_trie(kept->terms, kept->log, kept->videos, video_top_n, progress, true)
           : builder::build_trie(terms_, log_, videos_, video_top_n, progress, release);
  if (release) clear();
  return trie;
}

}  // namespace tessarin::builder
