// The record builder against a plain model.
//
// The input becomes records (terms over a few byte pieces that share
// prefixes, some of them not UTF-8 or holding a NUL; video identifiers and
// counts as integers, text or bytes, some out of range, some of the other
// kind, some null), an optional normalisation, the pair log's first
// compaction size and the video cut. The records go to a RecordBuilder one
// by one (RecordBuilder::add) or as Arrow batches (add_array, rows skipped
// or stopping at a refusal), in the input's order; now and then the
// builder lays its arrays out midway (a compaction and renumbering, after
// which it goes on). A plain model takes the same records: it checks each
// with plain code (the rules of record_checks.h and integer_text.h),
// aggregates the accepted ones in ordered maps, and lays the arrays out
// depth by depth as the pure-Python layout does. Checked:
// * each record is accepted or refused alike, refusals of the same kind;
//   Arrow reports count the same rows;
// * every layout midway and at the end equals the model's arrays;
// * the builder's own build gives the saved bytes of building the model's
//   arrays with the from-arrays build.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "build/arrow_stream.h"
#include "build/record_builder.h"
#include "format/saved_form.h"
#include "fuzz_check.h"
#include "index/from_arrays.h"

namespace {

using tessarin::BuildInput;
using tessarin::IdMode;
using tessarin::builder::Fault;
using tessarin::builder::Field;
using tessarin::builder::NormalizeStep;
using tessarin::builder::RecordBuilder;
using tessarin::builder::Rejection;
using tessarin::builder::TermForm;

constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;

// ---- The plain model ----------------------------------------------------

// Decodes UTF-8 by the table of well-formed byte sequences; nothing when
// the bytes are not well-formed.
std::optional<std::u32string> decode_utf8(const std::string& bytes) {
  std::u32string out;
  std::size_t i = 0;
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const auto in = [](unsigned char b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
  while (i < bytes.size()) {
    const unsigned char b0 = at(i);
    const std::size_t left = bytes.size() - i;
    if (b0 <= 0x7F) {
      out.push_back(b0);
      i += 1;
    } else if (in(b0, 0xC2, 0xDF) && left >= 2 && in(at(i + 1), 0x80, 0xBF)) {
      out.push_back(char32_t(b0 & 0x1F) << 6 | (at(i + 1) & 0x3F));
      i += 2;
    } else if (left >= 3 && in(at(i + 2), 0x80, 0xBF) &&
               ((b0 == 0xE0 && in(at(i + 1), 0xA0, 0xBF)) ||
                ((in(b0, 0xE1, 0xEC) || in(b0, 0xEE, 0xEF)) && in(at(i + 1), 0x80, 0xBF)) ||
                (b0 == 0xED && in(at(i + 1), 0x80, 0x9F)))) {
      out.push_back(char32_t(b0 & 0x0F) << 12 | char32_t(at(i + 1) & 0x3F) << 6 |
                    (at(i + 2) & 0x3F));
      i += 3;
    } else if (left >= 4 && in(at(i + 2), 0x80, 0xBF) && in(at(i + 3), 0x80, 0xBF) &&
               ((b0 == 0xF0 && in(at(i + 1), 0x90, 0xBF)) ||
                (in(b0, 0xF1, 0xF3) && in(at(i + 1), 0x80, 0xBF)) ||
                (b0 == 0xF4 && in(at(i + 1), 0x80, 0x8F)))) {
      out.push_back(char32_t(b0 & 0x07) << 18 | char32_t(at(i + 1) & 0x3F) << 12 |
                    char32_t(at(i + 2) & 0x3F) << 6 | (at(i + 3) & 0x3F));
      i += 4;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// What Python's int() strips around an integer, and what its str.split()
// splits on, within ASCII.
bool int_space(char c) { return std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos; }
bool split_space(char c) {
  return int_space(c) || std::string_view("\x1c\x1d\x1e\x1f").find(c) != std::string_view::npos;
}

enum class Parsed : std::uint8_t { kValue, kRange, kNot };

// An integer text: Python's int(text) on ASCII text without "_".
Parsed plain_integer(std::string text, std::uint32_t& value) {
  while (!text.empty() && int_space(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && int_space(text[start])) ++start;
  text.erase(0, start);
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.erase(0, 1);
  }
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return Parsed::kNot;
  }
  text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
  if (text.size() > 10 || std::stoull(text) > kU32Max || (negative && text != "0")) {
    return Parsed::kRange;
  }
  value = static_cast<std::uint32_t>(std::stoull(text));
  return Parsed::kValue;
}

// A UUID as uuid.UUID(text) reads it, restricted to 32 hex digits.
bool plain_uuid(std::string text, std::string& out) {
  for (const char* drop : {"urn:", "uuid:"}) {
    for (std::size_t at; (at = text.find(drop)) != std::string::npos;) {
      text.erase(at, std::strlen(drop));
    }
  }
  while (!text.empty() && (text.back() == '{' || text.back() == '}')) text.pop_back();
  while (!text.empty() && (text.front() == '{' || text.front() == '}')) text.erase(0, 1);
  std::erase(text, '-');
  if (text.size() != 32 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  out.clear();
  for (std::size_t k = 0; k < 32; k += 2) {
    out.push_back(static_cast<char>(std::stoi(text.substr(k, 2), nullptr, 16)));
  }
  return true;
}

// A video as the model keys it: 4 big-endian bytes (in the order of the
// values), or 16.
std::optional<Fault> plain_video(const Field& field, std::string& key) {
  const auto integer = [&](std::uint64_t v) {
    key.assign(4, '\0');
    for (unsigned b = 0; b < 4; ++b) key[3 - b] = static_cast<char>((v >> (8 * b)) & 0xFF);
  };
  std::uint32_t value = 0;
  switch (field.form) {
    case Field::Form::kMissing:
      return Fault::kMissing;
    case Field::Form::kSigned:
      if (field.signed_value < 0 || static_cast<std::uint64_t>(field.signed_value) > kU32Max) {
        return Fault::kVideoRange;
      }
      integer(static_cast<std::uint64_t>(field.signed_value));
      return std::nullopt;
    case Field::Form::kUnsigned:
      if (field.unsigned_value > kU32Max) return Fault::kVideoRange;
      integer(field.unsigned_value);
      return std::nullopt;
    case Field::Form::kBytes:
      if (field.text.size() != 16) return Fault::kVideoBytes;
      key.assign(field.text);
      return std::nullopt;
    case Field::Form::kText:
      if (field.text.size() >= 32) {
        return plain_uuid(std::string(field.text), key) ? std::nullopt
                                                        : std::optional(Fault::kVideoText);
      }
      [[fallthrough]];
    case Field::Form::kIntegerText:
      switch (plain_integer(std::string(field.text), value)) {
        case Parsed::kValue:
          integer(value);
          return std::nullopt;
        case Parsed::kRange:
          return Fault::kVideoRange;
        case Parsed::kNot:
          return Fault::kVideoText;
      }
  }
  return Fault::kVideoText;
}

std::optional<Fault> plain_count(const Field& field, std::uint32_t& count) {
  switch (field.form) {
    case Field::Form::kMissing:
      return Fault::kMissing;
    case Field::Form::kSigned:
      if (field.signed_value < 0 || static_cast<std::uint64_t>(field.signed_value) > kU32Max) {
        return Fault::kCount;
      }
      count = static_cast<std::uint32_t>(field.signed_value);
      return std::nullopt;
    case Field::Form::kUnsigned:
      if (field.unsigned_value > kU32Max) return Fault::kCount;
      count = static_cast<std::uint32_t>(field.unsigned_value);
      return std::nullopt;
    default:
      return plain_integer(std::string(field.text), count) == Parsed::kValue
                 ? std::nullopt
                 : std::optional(Fault::kCount);
  }
}

// What the normalisation of the harness does: the ASCII steps on ASCII
// terms; other terms stay as they are, but those holding U+1F600, which
// the normaliser refuses.
std::optional<std::string> plain_normalize(const std::string& term,
                                           const std::vector<NormalizeStep>& steps) {
  if (!std::all_of(term.begin(), term.end(),
                   [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    if (term.find("\xF0\x9F\x98\x80") != std::string::npos) return std::nullopt;
    return term;
  }
  std::string text = term;
  for (const NormalizeStep step : steps) {
    if (step == NormalizeStep::kCasefold) {
      std::transform(text.begin(), text.end(), text.begin(),
                     [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; });
    } else if (step == NormalizeStep::kSpaces) {
      std::vector<std::string> words{""};
      for (const char c : text) {
        if (split_space(c)) {
          if (!words.back().empty()) words.emplace_back();
        } else {
          words.back().push_back(c);
        }
      }
      text.clear();
      for (const std::string& w : words) {
        if (w.empty()) continue;
        if (!text.empty()) text.push_back(' ');
        text += w;
      }
    }
  }
  return text;
}

struct Model {
  std::vector<NormalizeStep> steps;
  std::map<std::string, std::string> raw;  // accepted raw term -> its term
  std::map<std::string, std::map<std::string, std::uint64_t>> sums;  // term -> video key -> sum
  std::set<std::string> videos;
  std::optional<IdMode> kind;
  std::uint64_t records = 0;

  // Adds a record or says why not; `term` null: missing.
  std::optional<Fault> add(const std::string* term, const Field& video, const Field& count) {
    if (term == nullptr) return Fault::kMissing;
    std::string key;
    if (auto fault = plain_video(video, key)) return fault;
    std::uint32_t n = 0;
    if (auto fault = plain_count(count, n)) return fault;
    const IdMode mode = key.size() == 4 ? IdMode::Int32 : IdMode::Uuid;
    if (!videos.contains(key) && kind && *kind != mode) return Fault::kMixedKinds;
    std::string normalized = *term;
    if (auto known = raw.find(*term); known != raw.end()) {
      normalized = known->second;
    } else {
      if (term->empty()) return Fault::kEmptyTerm;
      if (term->find('\0') != std::string::npos) return Fault::kTermNul;
      if (!decode_utf8(*term)) return Fault::kTermUtf8;
      if (!steps.empty()) {
        const std::optional<std::string> done = plain_normalize(*term, steps);
        if (!done) return Fault::kNormalizer;
        if (done->empty()) return Fault::kEmptyTerm;
        normalized = *done;
      }
      raw[*term] = normalized;
    }
    kind = mode;
    videos.insert(key);
    sums[normalized][key] += n;
    ++records;
    return std::nullopt;
  }

  // The arrays, as the pure-Python layout makes them.
  [[nodiscard]] BuildInput lay_out(std::size_t video_top_n) const {
    BuildInput input;
    std::map<std::string, std::uint32_t> position;
    for (const std::string& key : videos) {
      position.emplace(key, static_cast<std::uint32_t>(position.size()));
      std::string entry = key;
      if (entry.size() == 4) std::reverse(entry.begin(), entry.end());  // little-endian
      input.video_index.add(
          std::span(reinterpret_cast<const std::uint8_t*>(entry.data()), entry.size()));
    }
    std::vector<std::pair<std::u32string, const std::map<std::string, std::uint64_t>*>> terms;
    for (const auto& [term, videos_of] : sums) terms.emplace_back(*decode_utf8(term), &videos_of);
    std::vector<std::u32string> level{U""};
    std::vector<std::uint32_t> children;
    input.child_labels.push_back(0);
    input.payloads.push_absent();
    for (std::size_t depth = 1;; ++depth) {
      std::vector<std::u32string> nodes;
      std::map<std::u32string, std::uint32_t> per_parent;
      for (const auto& [term, _] : terms) {
        if (term.size() < depth) continue;
        const std::u32string prefix = term.substr(0, depth);
        if (!nodes.empty() && nodes.back() == prefix) continue;
        nodes.push_back(prefix);
        ++per_parent[prefix.substr(0, depth - 1)];
      }
      for (const std::u32string& node : level) children.push_back(per_parent[node]);
      if (nodes.empty()) break;
      for (const std::u32string& node : nodes) {
        input.child_labels.push_back(node.back());
        const auto found = std::find_if(terms.begin(), terms.end(),
                                        [&](const auto& t) { return t.first == node; });
        if (found == terms.end()) {
          input.payloads.push_absent();
          continue;
        }
        // Highest sum first, equal sums by table position; then saturated.
        std::vector<std::pair<std::uint64_t, std::uint32_t>> order;
        std::uint64_t total = 0;
        for (const auto& [key, sum] : *found->second) {
          order.emplace_back(sum, position.at(key));
          total += sum;
        }
        std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
          return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        std::vector<std::uint32_t> ids;
        std::vector<std::uint32_t> counts;
        for (const auto& [sum, at] : order) {
          ids.push_back(at);
          counts.push_back(static_cast<std::uint32_t>(std::min(sum, kU32Max)));
        }
        input.payloads.push(static_cast<std::uint32_t>(std::min(total, kU32Max)), ids, counts);
      }
      level = std::move(nodes);
    }
    std::uint32_t shift = 0;
    for (const std::uint32_t c : children) {
      input.node_shifts.push_back(shift);
      shift += c;
    }
    for (std::uint32_t k = 1; k < input.child_labels.size(); ++k) {
      input.child_transitions.push_back(k);
    }
    input.video_top_n = video_top_n;
    return input;
  }
};

void check_same(const BuildInput& got, const BuildInput& want) {
  FUZZ_CHECK(got.node_shifts == want.node_shifts, "node_shifts");
  FUZZ_CHECK(got.child_labels == want.child_labels, "child_labels");
  FUZZ_CHECK(got.child_transitions == want.child_transitions, "child_transitions");
  FUZZ_CHECK(got.video_top_n == want.video_top_n, "video_top_n");
  FUZZ_CHECK(got.video_index.count() == want.video_index.count(), "video count");
  FUZZ_CHECK(std::ranges::equal(got.video_index.bytes(), want.video_index.bytes()), "videos");
  FUZZ_CHECK(got.payloads.size() == want.payloads.size(), "payload count");
  for (std::size_t i = 0; i < got.payloads.size(); ++i) {
    FUZZ_CHECK(got.payloads.present(i) == want.payloads.present(i), "payload presence");
    if (!got.payloads.present(i)) continue;
    const tessarin::PayloadView a = got.payloads.view(i);
    const tessarin::PayloadView b = want.payloads.view(i);
    FUZZ_CHECK(a.total_count == b.total_count, "payload total at " + std::to_string(i));
    FUZZ_CHECK(std::ranges::equal(a.video_ids, b.video_ids), "payload ids at " + std::to_string(i));
    FUZZ_CHECK(std::ranges::equal(a.video_counts, b.video_counts), "payload counts");
  }
}

// ---- Records from the input ---------------------------------------------

// Pieces of terms: ASCII, 2- to 4-byte characters, a byte that is never
// UTF-8, a surrogate's 3 bytes, and NUL.
constexpr std::string_view kPieces[] = {"a",
                                        "b",
                                        "A",
                                        " ",
                                        "\t",
                                        "\xC3\xA9",
                                        "\xE4\xB8\xAD",
                                        "\xF0\x9F\x98\x80",
                                        "\xFF",
                                        "\xED\xA0\x80",
                                        {"\0", 1}};
// Pieces of integer texts: digits, signs, ASCII whitespace, "_", and the
// non-ASCII space U+00A0 and digits U+0663 and U+FF15.
constexpr std::string_view kTextBits[] = {
    "0",          "1",          "7",  "9", "-",        "+",        " ",
    "\t",         "\x1c",       "\n", "_", "\xC2\xA0", "\xD9\xA3", "\xEF\xBC\x95",
    "4294967295", "4294967296", "a",  "00"};
constexpr std::uint64_t kNumbers[] = {0, 1, 2, 7, 42, kU32Max, kU32Max + 1, ~std::uint64_t{0}};

std::string draw_term(FuzzedDataProvider& in) {
  std::string term;
  const std::size_t pieces = in.ConsumeIntegralInRange<std::size_t>(0, 5);
  for (std::size_t k = 0; k < pieces; ++k) {
    term += kPieces[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kPieces) - 1)];
  }
  return term;
}

std::string uuid_bytes(std::uint8_t pick) {
  std::string id(16, '\0');
  for (std::size_t k = 0; k < 16; ++k) id[k] = static_cast<char>((pick % 4) * 37 + k);
  return id;
}

std::string uuid_text(const std::string& bytes, std::uint8_t style) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    if (style % 2 == 1 && (k == 4 || k == 6 || k == 8 || k == 10)) hex.push_back('-');
    hex.push_back(kHex[static_cast<unsigned char>(bytes[k]) >> 4]);
    hex.push_back(kHex[static_cast<unsigned char>(bytes[k]) & 15]);
  }
  if (style == 2) return "{" + hex + "}";
  if (style == 3) return "urn:uuid:" + hex;
  return hex;
}

// A record's video or count: the Field and the text it borrows.
struct Value {
  Field::Form form = Field::Form::kMissing;
  std::int64_t signed_value = 0;
  std::uint64_t unsigned_value = 0;
  std::string text;
  [[nodiscard]] Field field() const { return {form, signed_value, unsigned_value, text}; }
};

std::string draw_integer_text(FuzzedDataProvider& in) {
  std::string text;
  const std::size_t bits = in.ConsumeIntegralInRange<std::size_t>(0, 4);
  for (std::size_t k = 0; k < bits; ++k) {
    text += kTextBits[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kTextBits) - 1)];
  }
  return text;
}

Value draw_video(FuzzedDataProvider& in, bool uuids, bool as_text) {
  Value v;
  const std::uint8_t how = in.ConsumeIntegral<std::uint8_t>();
  if (how % 16 == 0) return v;  // null
  const bool other = how % 16 == 1;
  if (uuids != other) {
    const std::string bytes = uuid_bytes(in.ConsumeIntegral<std::uint8_t>());
    if (as_text || how % 3 == 0) {
      v.form = Field::Form::kText;
      v.text = uuid_text(bytes, in.ConsumeIntegral<std::uint8_t>() % 4);
      if (how % 32 == 2) v.text.pop_back();  // no UUID any more
    } else {
      v.form = Field::Form::kBytes;
      v.text = how % 32 == 2 ? bytes.substr(0, 15) : bytes;
    }
    return v;
  }
  const std::uint64_t number =
      how % 8 == 3 ? kNumbers[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kNumbers) - 1)]
                   : in.ConsumeIntegralInRange<std::uint64_t>(0, 6);
  if (as_text || how % 5 == 0) {
    v.form = how % 7 == 0 ? Field::Form::kIntegerText : Field::Form::kText;
    v.text = how % 4 == 0 ? draw_integer_text(in) : std::to_string(number);
  } else if (how % 2 == 0) {
    v.form = Field::Form::kUnsigned;
    v.unsigned_value = number;
  } else {
    v.form = Field::Form::kSigned;
    v.signed_value = how % 9 == 0 ? -static_cast<std::int64_t>(number % 5) - 1
                                  : static_cast<std::int64_t>(number);
  }
  return v;
}

Value draw_count(FuzzedDataProvider& in, bool as_text) {
  Value v;
  const std::uint8_t how = in.ConsumeIntegral<std::uint8_t>();
  if (how % 16 == 0) return v;  // null
  const std::uint64_t number =
      how % 4 == 1 ? kNumbers[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kNumbers) - 1)]
                   : in.ConsumeIntegralInRange<std::uint64_t>(0, 50);
  if (as_text || how % 3 == 0) {
    v.form = Field::Form::kText;
    v.text = how % 5 == 0 ? draw_integer_text(in) : std::to_string(number);
  } else if (how % 2 == 0) {
    v.form = Field::Form::kUnsigned;
    v.unsigned_value = number;
  } else {
    v.form = Field::Form::kSigned;
    v.signed_value = how % 7 == 0 ? -1 : static_cast<std::int64_t>(number);
  }
  return v;
}

struct Record {
  std::optional<std::string> term;
  Value video;
  Value count;
};

// ---- Arrow batches of records -------------------------------------------

// A column of utf8 text, nulls where absent, as the C data interface lays it out.
struct TextColumn {
  std::vector<std::uint8_t> validity;
  std::vector<std::int32_t> offsets{0};
  std::string data;
  std::vector<const void*> buffers;
  ArrowArray array{};
  ArrowSchema schema{};

  TextColumn(const std::vector<const std::string*>& values, const char* name) {
    validity.assign((values.size() + 7) / 8, 0);
    std::int64_t nulls = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
      if (values[k] != nullptr) {
        validity[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
        data += *values[k];
      } else {
        ++nulls;
      }
      offsets.push_back(static_cast<std::int32_t>(data.size()));
    }
    buffers = {validity.data(), offsets.data(), data.data()};
    array = {static_cast<std::int64_t>(values.size()),
             nulls,
             0,
             3,
             0,
             buffers.data(),
             nullptr,
             nullptr,
             nullptr,
             nullptr};
    schema = {"u", name, nullptr, 2, 0, nullptr, nullptr, nullptr, nullptr};
  }
};

// Adds the records as one struct array of text columns, and to the model
// as the batch reader hands them over; the reports must agree.
void add_arrow(RecordBuilder& builder, Model& model, const std::vector<Record>& records, bool skip,
               bool null_count_is_one) {
  std::vector<const std::string*> terms;
  std::vector<const std::string*> videos;
  std::vector<const std::string*> counts;
  for (const Record& r : records) {
    terms.push_back(r.term ? &*r.term : nullptr);
    videos.push_back(r.video.form == Field::Form::kMissing ? nullptr : &r.video.text);
    counts.push_back(r.count.form == Field::Form::kMissing ? nullptr : &r.count.text);
  }
  TextColumn term_column(terms, "term");
  TextColumn video_column(videos, "video");
  TextColumn count_column(counts, "count");
  ArrowSchema* child_schemas[] = {&term_column.schema, &video_column.schema, &count_column.schema};
  ArrowArray* child_arrays[] = {&term_column.array, &video_column.array, &count_column.array};
  const void* no_buffers[] = {nullptr};
  const ArrowSchema schema{"+s", "", nullptr, 0, 3, child_schemas, nullptr, nullptr, nullptr};
  const ArrowArray array{static_cast<std::int64_t>(records.size()),
                         0,
                         0,
                         1,
                         3,
                         no_buffers,
                         child_arrays,
                         nullptr,
                         nullptr,
                         nullptr};
  const tessarin::Result<tessarin::builder::StreamOutcome> outcome =
      tessarin::builder::add_array(builder, schema, array, {}, {skip, null_count_is_one}, nullptr);
  FUZZ_CHECK(outcome.ok(), outcome.error().message);
  const tessarin::builder::IngestReport& report = outcome.value().report;
  std::size_t rows = 0;
  std::size_t added = 0;
  std::size_t refused = 0;
  std::array<std::size_t, tessarin::builder::kFaultKinds> by_fault{};
  for (const Record& r : records) {
    // As the batch reader hands them over: text, or null.
    const Field video =
        r.video.form == Field::Form::kMissing ? Field::missing() : Field::of_text(r.video.text);
    Field count =
        r.count.form == Field::Form::kMissing ? Field::missing() : Field::of_text(r.count.text);
    if (r.count.form == Field::Form::kMissing && null_count_is_one) count = Field::of_unsigned(1);
    const std::optional<Fault> fault = model.add(r.term ? &*r.term : nullptr, video, count);
    if (!fault) {
      ++added;
      ++rows;
      continue;
    }
    ++refused;
    ++by_fault[static_cast<std::size_t>(*fault)];
    if (!skip) break;
    ++rows;
  }
  FUZZ_CHECK(report.rows == rows && report.added == added && report.refused == refused,
             "Arrow totals: " + std::to_string(report.rows) + " rows, " +
                 std::to_string(report.added) + " added, " + std::to_string(report.refused) +
                 " refused; the model: " + std::to_string(rows) + ", " + std::to_string(added) +
                 ", " + std::to_string(refused));
  FUZZ_CHECK(report.by_fault == by_fault, "refused rows by fault");
  FUZZ_CHECK(
      outcome.value().end == (refused > 0 && !skip ? tessarin::builder::StreamEnd::kRefused
                                                   : tessarin::builder::StreamEnd::kFinished),
      "how the reading ended");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool uuids = in.ConsumeBool();
  std::vector<NormalizeStep> steps;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 1:
      steps = {NormalizeStep::kCasefold};
      break;
    case 2:
      steps = {NormalizeStep::kSpaces, NormalizeStep::kCasefold};
      break;
    case 3:
      steps = {NormalizeStep::kNfkc, NormalizeStep::kSpaces};
      break;
    default:
      break;
  }
  const auto min_compaction = in.ConsumeIntegralInRange<std::size_t>(1, 16);
  const auto top_n = in.ConsumeIntegralInRange<std::size_t>(0, 4);
  RecordBuilder builder(
      steps,
      [](std::string_view term) -> tessarin::Result<std::string> {
        if (term.find("\xF0\x9F\x98\x80") != std::string_view::npos) {
          return tessarin::value_error("the normaliser refuses U+1F600");
        }
        return std::string(term);
      },
      min_compaction);
  Model model;
  model.steps = steps;
  const auto noop = [](std::size_t, std::size_t) {};

  for (std::size_t actions = 0; in.remaining_bytes() > 0 && actions < 64; ++actions) {
    const auto action = in.ConsumeIntegralInRange<int>(0, 9);
    if (action == 0) {
      check_same(builder.lay_out(top_n, noop), model.lay_out(top_n));
    } else if (action <= 2) {
      std::vector<Record> batch(in.ConsumeIntegralInRange<std::size_t>(1, 8));
      for (Record& r : batch) {
        if (in.ConsumeIntegralInRange<int>(0, 15) != 0) r.term = draw_term(in);
        r.video = draw_video(in, uuids, true);
        r.count = draw_count(in, true);
      }
      add_arrow(builder, model, batch, in.ConsumeBool(), in.ConsumeBool());
    } else {
      const std::string term = draw_term(in);
      const Value video = draw_video(in, uuids, false);
      const Value count = draw_count(in, false);
      const bool valid = decode_utf8(term).has_value();
      const TermForm form = valid && in.ConsumeBool() ? TermForm::kValidUtf8 : TermForm::kUnchecked;
      const std::optional<Rejection> got = builder.add(term, form, video.field(), count.field());
      const std::optional<Fault> want = model.add(&term, video.field(), count.field());
      FUZZ_CHECK(got.has_value() == want.has_value(),
                 got ? "refused: " + got->message : "accepted, the model refuses it");
      if (got) FUZZ_CHECK(got->fault == *want, "refused for another fault: " + got->message);
    }
    FUZZ_CHECK(builder.records() == model.records, "records");
    FUZZ_CHECK(builder.terms() == model.sums.size(), "terms");
    FUZZ_CHECK(builder.videos() == model.videos.size(), "videos");
  }

  // The builder's own build against the from-arrays build of the model's
  // arrays, as saved bytes.
  const BuildInput arrays = model.lay_out(top_n);
  check_same(builder.lay_out(top_n, noop), arrays);
  tessarin::Result<tessarin::Trie> expected = tessarin::build(model.lay_out(top_n));
  FUZZ_CHECK(expected.ok(), expected.error().message);
  const tessarin::Trie built = builder.build(top_n, noop, in.ConsumeBool());
  const auto want = tessarin::encoding::encode_to_vec(expected.value());
  const auto got = tessarin::encoding::encode_to_vec(built);
  FUZZ_CHECK(want.ok() && got.ok(), "encoding");
  FUZZ_CHECK(got.value() == want.value(), "the saved bytes differ");
  return 0;
}
