// Record checks: whether a (term, video, count) record can go into an
// index, and if not, why, as a typed Rejection (the kind of fault, the
// value at fault, the message). Every source of records (Python tuples,
// Arrow columns, CSV fields read as text) hands its values over as Fields
// and gets the same checks and the same messages from here.
//
// A record's checks, in this order (the first failing one decides):
//   1. the video identifier (read_video): present; an integer in
//      0 .. 2^32 - 1, or 16 bytes; text is a decimal integer
//      (integer_text.h) or, from 32 characters on, a UUID as Python's
//      uuid.UUID reads it (32 hex digits, hyphens anywhere, optional braces
//      and "urn:uuid:" before them);
//   2. the count (read_count): present; an integer in 0 .. 2^32 - 1, or
//      text of one (integer_text.h);
//   3. the identifier's kind against the kind of the index's videos so far
//      (kind_mismatch: one index holds UUIDs or integers, not both);
//   4. a term not seen before (check_term): not empty, no U+0000 (label 0
//      marks a node the matchers skip), valid UTF-8; then, when the builder
//      normalises, not empty once normalised (record_builder.h).
//
// Values shown in messages: integers in decimal, text quoted and escaped
// (quoted()), either cut to 80 characters.
//
// Thread safety: pure functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "build/integer_text.h"
#include "index/trie.h"

namespace tessarin::builder {

enum class Fault : std::uint8_t {
  kMissing,     // a null where a value is needed
  kVideoRange,  // an integer identifier outside 0 .. 2^32 - 1
  kVideoText,   // text that is neither an integer nor a UUID
  kVideoBytes,  // a binary identifier that is not 16 bytes long
  kCount,       // a count that is no integer, or outside 0 .. 2^32 - 1
  kMixedKinds,  // an identifier of the other kind
  kEmptyTerm,   // "" (or nothing left once normalised)
  kTermNul,     // a term holding U+0000
  kTermUtf8,    // bytes that are not UTF-8 (or text holding a lone surrogate)
  kNormalizer,  // the caller's normaliser failed
  kUnreadable,  // the source could not read the row (a line that does not parse)
  kTime,        // no time, or one that is not a time (a weight column's null)
};
inline constexpr std::size_t kFaultKinds = 12;

// A fault's name in reports: "missing", "video range", "count", ...
[[nodiscard]] std::string_view fault_name(Fault fault);

struct Rejection {
  Fault fault;
  std::string value;    // the value at fault as the message shows it: "-2", "'many'"
  std::string message;  // "the count -2 is outside 0..4294967295"
};

// A video identifier or a count as its source holds it, before any check.
// Text and bytes are borrowed from the caller.
struct Field {
  enum class Form : std::uint8_t {
    kMissing,      // null
    kSigned,       // a signed integer
    kUnsigned,     // an unsigned integer
    kIntegerText,  // decimal text (integer_text.h), e.g. an integer too wide for 64 bits
    kText,         // text: a video identifier's decimal integer or UUID; a count's integer
    kBytes,        // binary: a video identifier's 16 bytes
  };
  Form form = Form::kMissing;
  std::int64_t signed_value = 0;
  std::uint64_t unsigned_value = 0;
  std::string_view text;

  [[nodiscard]] static Field missing() { return {}; }
  [[nodiscard]] static Field of_signed(std::int64_t v) { return {Form::kSigned, v, 0, {}}; }
  [[nodiscard]] static Field of_unsigned(std::uint64_t v) { return {Form::kUnsigned, 0, v, {}}; }
  [[nodiscard]] static Field of_integer_text(std::string_view t) {
    return {Form::kIntegerText, 0, 0, t};
  }
  [[nodiscard]] static Field of_text(std::string_view t) { return {Form::kText, 0, 0, t}; }
  [[nodiscard]] static Field of_bytes(std::string_view b) { return {Form::kBytes, 0, 0, b}; }
};

// A checked video identifier.
struct VideoValue {
  IdMode kind = IdMode::Int32;
  std::uint32_t integer = 0;
  Uuid uuid{};
};

namespace detail {
// Every form and every refusal; read_video() and read_count() take the
// common cases inline: an integer in range (or its text), 16 bytes.
[[nodiscard]] std::optional<Rejection> read_video_field(const Field& field, VideoValue& out);
[[nodiscard]] std::optional<Rejection> read_count_field(const Field& field, std::uint32_t& out);
inline constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;
}  // namespace detail

[[nodiscard]] inline std::optional<Rejection> read_video(const Field& field, VideoValue& out) {
  if (field.form == Field::Form::kSigned &&
      static_cast<std::uint64_t>(field.signed_value) <= detail::kU32Max) {
    out.kind = IdMode::Int32;
    out.integer = static_cast<std::uint32_t>(field.signed_value);
    return std::nullopt;
  }
  if (field.form == Field::Form::kBytes && field.text.size() == 16) {
    out.kind = IdMode::Uuid;
    std::memcpy(out.uuid.data(), field.text.data(), 16);
    return std::nullopt;
  }
  if (field.form == Field::Form::kIntegerText ||
      (field.form == Field::Form::kText && field.text.size() < 32)) {
    if (const IntegerText parsed = parse_integer_text(field.text);
        parsed.status == IntegerStatus::kInRange) {
      out.kind = IdMode::Int32;
      out.integer = parsed.value;
      return std::nullopt;
    }
  }
  return detail::read_video_field(field, out);
}

[[nodiscard]] inline std::optional<Rejection> read_count(const Field& field, std::uint32_t& out) {
  if (field.form == Field::Form::kSigned &&
      static_cast<std::uint64_t>(field.signed_value) <= detail::kU32Max) {
    out = static_cast<std::uint32_t>(field.signed_value);
    return std::nullopt;
  }
  if (field.form == Field::Form::kText || field.form == Field::Form::kIntegerText) {
    if (const IntegerText parsed = parse_integer_text(field.text);
        parsed.status == IntegerStatus::kInRange) {
      out = parsed.value;
      return std::nullopt;
    }
  }
  return detail::read_count_field(field, out);
}

// When the index already holds videos of kind `held` and `video` is of the
// other kind: the refusal.
[[nodiscard]] std::optional<Rejection> kind_mismatch(std::optional<IdMode> held,
                                                     const VideoValue& video);

// What the caller knows of a term's bytes.
enum class TermForm : std::uint8_t {
  kUnchecked,       // any bytes: checked here
  kValidUtf8,       // known to be valid UTF-8
  kLoneSurrogates,  // text holding lone surrogates, each as 3 bytes (never valid)
};

// The checks of a term not seen before (4. above, but normalisation).
[[nodiscard]] std::optional<Rejection> check_term(std::string_view term, TermForm form);

// A missing term (a null).
[[nodiscard]] Rejection missing_term();

// A value as a message shows it: quoted, escaped, cut to 80 characters.
[[nodiscard]] std::string quoted(std::string_view text);
// Whether `text` is UTF-8 of Unicode scalar values, each in its shortest form.
[[nodiscard]] bool valid_utf8(std::string_view text);

}  // namespace tessarin::builder
