#include "build/record_checks.h"

#include <cstring>
#include <utility>

#include "build/integer_text.h"

namespace tessarin::builder {
namespace {

using detail::kU32Max;
constexpr std::string_view kRange = " is outside 0..4294967295";

Rejection reject(Fault fault, std::string value, std::string message) {
  return {fault, std::move(value), std::move(message)};
}

Rejection video_out_of_range(std::string shown) {
  std::string message = "the video identifier " + shown + std::string(kRange);
  return reject(Fault::kVideoRange, std::move(shown), std::move(message));
}

Rejection count_out_of_range(std::string shown) {
  std::string message = "the count " + shown + std::string(kRange);
  return reject(Fault::kCount, std::move(shown), std::move(message));
}

Rejection missing(const char* what) {
  return reject(Fault::kMissing, "null", std::string("the ") + what + " is missing (null)");
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void erase_all(std::string& text, std::string_view what) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
}

// A UUID as uuid.UUID(text) reads it: drop "urn:" and "uuid:", the braces
// around, and every hyphen; 32 hex digits must remain.
bool parse_uuid(std::string_view text, Uuid& out) {
  std::string hex(text);
  erase_all(hex, "urn:");
  erase_all(hex, "uuid:");
  const std::size_t first = hex.find_first_not_of("{}");
  const std::size_t last = hex.find_last_not_of("{}");
  hex = first == std::string::npos ? std::string() : hex.substr(first, last - first + 1);
  erase_all(hex, "-");
  if (hex.size() != 32) return false;
  for (std::size_t k = 0; k < 16; ++k) {
    const int high = hex_value(hex[2 * k]);
    const int low = hex_value(hex[2 * k + 1]);
    if (high < 0 || low < 0) return false;
    out[k] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

std::optional<Rejection> integer_video(const IntegerText& parsed, std::string_view text,
                                       VideoValue& out) {
  if (parsed.status == IntegerStatus::kOutOfRange) return video_out_of_range(integer_shown(text));
  out.kind = IdMode::Int32;
  out.integer = parsed.value;
  return std::nullopt;
}

std::optional<Rejection> unsigned_video(std::uint64_t value, VideoValue& out) {
  if (value > kU32Max) return video_out_of_range(std::to_string(value));
  out.kind = IdMode::Int32;
  out.integer = static_cast<std::uint32_t>(value);
  return std::nullopt;
}

std::optional<Rejection> unsigned_count(std::uint64_t value, std::uint32_t& out) {
  if (value > kU32Max) return count_out_of_range(std::to_string(value));
  out = static_cast<std::uint32_t>(value);
  return std::nullopt;
}

std::string uuid_shown(const Uuid& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t k = 0; k < 16; ++k) {
    if (k == 4 || k == 6 || k == 8 || k == 10) out.push_back('-');
    out.push_back(kHex[id[k] >> 4]);
    out.push_back(kHex[id[k] & 15]);
  }
  return out;
}

}  // namespace

std::string_view fault_name(Fault fault) {
  static constexpr std::array<std::string_view, kFaultKinds> kNames = {
      "missing",    "video range", "video text", "video bytes", "count",      "mixed kinds",
      "empty term", "term U+0000", "term UTF-8", "normaliser",  "unreadable", "time"};
  return kNames[static_cast<std::size_t>(fault)];
}

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

std::optional<Rejection> detail::read_video_field(const Field& field, VideoValue& out) {
  switch (field.form) {
    case Field::Form::kMissing:
      return missing("video identifier");
    case Field::Form::kSigned:
      if (field.signed_value < 0) return video_out_of_range(std::to_string(field.signed_value));
      return unsigned_video(static_cast<std::uint64_t>(field.signed_value), out);
    case Field::Form::kUnsigned:
      return unsigned_video(field.unsigned_value, out);
    case Field::Form::kBytes:
      if (field.text.size() != 16) {
        return reject(Fault::kVideoBytes, quoted(field.text),
                      "a binary video identifier must be 16 bytes long, not " +
                          std::to_string(field.text.size()));
      }
      out.kind = IdMode::Uuid;
      std::memcpy(out.uuid.data(), field.text.data(), 16);
      return std::nullopt;
    case Field::Form::kText:
      // Texts of 32 characters or more are UUIDs, shorter ones integers.
      if (field.text.size() >= 32) {
        if (!parse_uuid(field.text, out.uuid)) break;
        out.kind = IdMode::Uuid;
        return std::nullopt;
      }
      [[fallthrough]];
    case Field::Form::kIntegerText: {
      const IntegerText parsed = parse_integer_text(field.text);
      if (parsed.status == IntegerStatus::kNotInteger) break;
      return integer_video(parsed, field.text, out);
    }
  }
  std::string shown = quoted(field.text);
  std::string message = "the video identifier " + shown + " is neither an integer nor a UUID";
  return reject(Fault::kVideoText, std::move(shown), std::move(message));
}

std::optional<Rejection> detail::read_count_field(const Field& field, std::uint32_t& out) {
  switch (field.form) {
    case Field::Form::kMissing:
      return missing("count");
    case Field::Form::kSigned:
      if (field.signed_value < 0) return count_out_of_range(std::to_string(field.signed_value));
      return unsigned_count(static_cast<std::uint64_t>(field.signed_value), out);
    case Field::Form::kUnsigned:
      return unsigned_count(field.unsigned_value, out);
    case Field::Form::kIntegerText:
    case Field::Form::kText:
    case Field::Form::kBytes:
      break;
  }
  const IntegerText parsed = parse_integer_text(field.text);
  if (parsed.status == IntegerStatus::kInRange) {
    out = parsed.value;
    return std::nullopt;
  }
  if (parsed.status == IntegerStatus::kOutOfRange) {
    return count_out_of_range(integer_shown(field.text));
  }
  std::string shown = quoted(field.text);
  std::string message = "the count " + shown + " is not an integer";
  return reject(Fault::kCount, std::move(shown), std::move(message));
}

std::optional<Rejection> kind_mismatch(std::optional<IdMode> held, const VideoValue& video) {
  if (!held || *held == video.kind) return std::nullopt;
  return reject(
      Fault::kMixedKinds,
      video.kind == IdMode::Int32 ? std::to_string(video.integer) : uuid_shown(video.uuid),
      std::string("mixed video identifier kinds: this index holds ") +
          (*held == IdMode::Uuid ? "UUIDs" : "integers") +
          "; one index holds UUIDs (or 16 bytes) or integers, not both");
}

std::optional<Rejection> check_term(std::string_view term, TermForm form) {
  if (term.empty()) return reject(Fault::kEmptyTerm, "''", "the term is empty");
  if (std::memchr(term.data(), 0, term.size()) != nullptr) {
    return reject(Fault::kTermNul, quoted(term), "the term holds the character U+0000");
  }
  if (form == TermForm::kLoneSurrogates) {
    return reject(Fault::kTermUtf8, quoted(term),
                  "the term holds a lone surrogate, which is not a character");
  }
  if (form == TermForm::kUnchecked && !valid_utf8(term)) {
    std::string shown = quoted(term);
    std::string message = "the term " + shown + " is not valid UTF-8";
    return reject(Fault::kTermUtf8, std::move(shown), std::move(message));
  }
  return std::nullopt;
}

Rejection missing_term() { return missing("term"); }

}  // namespace tessarin::builder
