#include "build/record_builder.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tessarin::builder {
namespace {

constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;

// What Python's str.split() splits on, within ASCII.
bool is_python_space(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether `text` is UTF-8 of Unicode scalar values, each in its shortest form.
bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    std::size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead < 0xE0) {
      length = 2;
      c = char32_t{lead} & 0x1Fu;
      least = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3;
      c = char32_t{lead} & 0x0Fu;
      least = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF5) {
      length = 4;
      c = char32_t{lead} & 0x07u;
      least = 0x10000;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      c = c << 6u | (char32_t{p[k]} & 0x3Fu);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
    p += length;
  }
  return true;
}

Rejection reject(Fault fault, std::string message) { return {fault, std::move(message)}; }

Rejection video_out_of_range(const std::string& digits) {
  return reject(Fault::kVideoRange, "the video identifier " + digits + " is outside 0..4294967295");
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void replace_all(std::string& text, std::string_view what) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
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

std::string quoted(std::string_view text) {
  // Bytes that are not UTF-8 are shown escaped, like control characters.
  const bool escape_high = !valid_utf8(text);
  std::string out = "'";
  std::size_t shown = 0;
  for (const char c : text) {
    if (++shown > 77) {
      out += "...";
      break;
    }
    const auto u = static_cast<unsigned char>(c);
    if (c == '\'' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20 || u == 0x7F || (escape_high && u >= 0x80)) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 15]);
    } else {
      out.push_back(c);
    }
  }
  // Never end inside a character that the cut split.
  if (out.size() > 4 && out.compare(out.size() - 3, 3, "...") == 0) {
    std::size_t cut = out.size() - 3;
    while (cut > 1 && (static_cast<unsigned char>(out[cut - 1]) & 0xC0) == 0x80) --cut;
    if (cut > 1 && static_cast<unsigned char>(out[cut - 1]) >= 0xC0) --cut;
    out.erase(cut, out.size() - 3 - cut);
    return out;
  }
  return out + "'";
}

std::optional<Rejection> unsigned_video(std::uint64_t value, VideoValue& out) {
  if (value > kU32Max) return video_out_of_range(std::to_string(value));
  out.kind = VideoKind::kInt;
  out.integer = static_cast<std::uint32_t>(value);
  return std::nullopt;
}

std::optional<Rejection> integer_video(std::int64_t value, VideoValue& out) {
  if (value < 0) return video_out_of_range(std::to_string(value));
  return unsigned_video(static_cast<std::uint64_t>(value), out);
}

std::optional<Rejection> parse_video_text(std::string_view text, VideoValue& out) {
  const auto neither = [&] {
    return reject(Fault::kVideoText,
                  "the video identifier " + quoted(text) + " is neither an integer nor a UUID");
  };
  if (text.size() >= 32) {
    // As uuid.UUID(text): drop "urn:" and "uuid:", the braces around, and
    // every hyphen; 32 hex digits must remain.
    std::string hex(text);
    replace_all(hex, "urn:");
    replace_all(hex, "uuid:");
    const std::size_t first = hex.find_first_not_of("{}");
    const std::size_t last = hex.find_last_not_of("{}");
    hex = first == std::string::npos ? std::string() : hex.substr(first, last - first + 1);
    replace_all(hex, "-");
    if (hex.size() != 32) return neither();
    for (std::size_t k = 0; k < 16; ++k) {
      const int high = hex_value(hex[2 * k]);
      const int low = hex_value(hex[2 * k + 1]);
      if (high < 0 || low < 0) return neither();
      out.uuid[k] = static_cast<std::uint8_t>(high * 16 + low);
    }
    out.kind = VideoKind::kUuid;
    return std::nullopt;
  }
  // A decimal integer, with optional spaces around and a sign.
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_python_space(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && is_python_space(static_cast<unsigned char>(text[end - 1]))) --end;
  bool negative = false;
  if (begin < end && (text[begin] == '+' || text[begin] == '-')) negative = text[begin++] == '-';
  if (begin == end) return neither();
  std::uint64_t value = 0;
  bool large = false;
  for (std::size_t k = begin; k < end; ++k) {
    if (text[k] < '0' || text[k] > '9') return neither();
    value = value * 10 + static_cast<std::uint64_t>(text[k] - '0');
    large = large || value > kU32Max;
    if (large) value = kU32Max + 1;
  }
  if (negative && value > 0) {
    return reject(Fault::kVideoRange,
                  "the video identifier " + quoted(text) + " is outside 0..4294967295");
  }
  if (large) {
    return reject(Fault::kVideoRange,
                  "the video identifier " + quoted(text) + " is outside 0..4294967295");
  }
  out.kind = VideoKind::kInt;
  out.integer = static_cast<std::uint32_t>(value);
  return std::nullopt;
}

std::optional<Rejection> RecordBuilder::add(std::string_view term, const VideoValue& video,
                                            std::int64_t count, bool trusted_utf8,
                                            const Hint* hint) {
  if (count < 0 || static_cast<std::uint64_t>(count) > kU32Max) {
    return reject(Fault::kCount,
                  "the count " + std::to_string(count) + " is outside 0..4294967295");
  }
  return add_checked(term, video, static_cast<std::uint32_t>(count), trusted_utf8, hint);
}

std::optional<Rejection> RecordBuilder::add_unsigned(std::string_view term, const VideoValue& video,
                                                     std::uint64_t count, bool trusted_utf8,
                                                     const Hint* hint) {
  if (count > kU32Max) {
    return reject(Fault::kCount,
                  "the count " + std::to_string(count) + " is outside 0..4294967295");
  }
  return add_checked(term, video, static_cast<std::uint32_t>(count), trusted_utf8, hint);
}

std::optional<Rejection> RecordBuilder::check_new_term(std::string_view term, bool trusted_utf8,
                                                       std::string& normalized) const {
  if (term.empty()) return reject(Fault::kEmptyTerm, "the term is empty");
  if (std::memchr(term.data(), 0, term.size()) != nullptr) {
    return reject(Fault::kTermNul, "the term holds the character U+0000");
  }
  if (!trusted_utf8 && !valid_utf8(term)) {
    return reject(Fault::kTermUtf8, "the term " + quoted(term) + " is not valid UTF-8");
  }
  if (steps_.empty()) return std::nullopt;
  if (is_ascii(term)) {
    normalized = normalize_ascii(term, steps_);
  } else {
    Result<std::string> done = normalizer_(term);
    if (!done.ok()) return reject(Fault::kNormalizer, done.error().message);
    normalized = std::move(done.value());
  }
  if (normalized.empty()) {
    return reject(Fault::kEmptyTerm, "the term " + quoted(term) + " is empty once normalised");
  }
  return std::nullopt;
}

std::optional<Rejection> RecordBuilder::add_checked(std::string_view term, const VideoValue& video,
                                                    std::uint32_t count, bool trusted_utf8,
                                                    const Hint* hint) {
  const std::optional<std::uint32_t> position =
      video.kind == VideoKind::kInt ? videos_.find(video.integer) : videos_.find(video.uuid);
  if (!position && videos_.kind() != VideoKind::kNone && videos_.kind() != video.kind) {
    return reject(Fault::kMixedKinds,
                  std::string("mixed video identifier kinds: this index holds ") +
                      (videos_.kind() == VideoKind::kUuid ? "UUIDs" : "integers") +
                      "; one index holds UUIDs (or 16 bytes) or integers, not both");
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
    if (auto refused = check_new_term(term, trusted_utf8, normalized)) return refused;
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
  } else if (normalizing) {
    id = raw_to_term_[*id];
  }
  const std::uint32_t video_position =
      position ? *position
               : (video.kind == VideoKind::kInt ? videos_.insert(video.integer)
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
  if (release) {
    raw_ = TermTable();
    std::vector<std::uint32_t>().swap(raw_to_term_);
    std::vector<std::uint32_t>().swap(rank);
  } else {
    for (std::uint32_t& id : raw_to_term_) id = rank[id];
  }
  terms_ = terms_.reordered(order, rank);
}

void RecordBuilder::clear() {
  terms_ = TermTable();
  log_.clear();
  videos_ = VideoTable();
  records_ = 0;
}

BuildInput RecordBuilder::lay_out(std::size_t video_top_n, const StepProgress& progress,
                                  bool release) {
  prepare(release);
  BuildInput input = builder::lay_out(terms_, log_, videos_, video_top_n, progress);
  if (release) clear();
  return input;
}

Trie RecordBuilder::build(std::size_t video_top_n, const StepProgress& progress, bool release) {
  prepare(release);
  Trie trie = builder::build_trie(terms_, log_, videos_, video_top_n, progress, release);
  if (release) clear();
  return trie;
}

}  // namespace tessarin::builder
