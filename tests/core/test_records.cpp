// The record checks: the one integer-text parser, and what each check
// refuses with (kind, value shown, message).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "build/integer_text.h"
#include "build/record_builder.h"
#include "check.h"

using tessarin::builder::Fault;
using tessarin::builder::Field;
using tessarin::builder::IntegerStatus;
using tessarin::builder::Rejection;
using tessarin::builder::TermForm;

namespace {

constexpr auto kIn = IntegerStatus::kInRange;
constexpr auto kOut = IntegerStatus::kOutOfRange;
constexpr auto kNot = IntegerStatus::kNotInteger;

std::string refusal(const std::optional<Rejection>& r) {
  return r ? std::string(tessarin::builder::fault_name(r->fault)) + " | " + r->value + " | " +
                 r->message
           : "accepted";
}

}  // namespace

TEST(integer_text_takes_what_python_int_takes_in_ascii) {
  struct Case {
    std::string_view text;
    IntegerStatus status;
    std::uint32_t value;
    std::string_view shown;
  };
  const Case cases[] = {
      {"7", kIn, 7, "7"},
      {" \t+007\r\n", kIn, 7, "7"},
      {"\v4294967295\f", kIn, 4294967295u, "4294967295"},
      {"\x1c"
       "7",
       kNot, 0, ""},  // a separator, which int() does not strip
      {"-0", kIn, 0, "0"},
      {"-2", kOut, 0, "-2"},
      {" -002 ", kOut, 0, "-2"},
      {"4294967296", kOut, 0, "4294967296"},
      {"+99999999999999999999999", kOut, 0, "99999999999999999999999"},
      {"", kNot, 0, ""},
      {" ", kNot, 0, ""},
      {"+", kNot, 0, ""},
      {"1 2", kNot, 0, ""},
      {"1_000", kNot, 0, ""},
      {"0x10", kNot, 0, ""},
      {"--1", kNot, 0, ""},
      {"\xC2\xA0"
       "7",
       kNot, 0, ""},                  // U+00A0, a non-ASCII space
      {"\xEF\xBC\x95", kNot, 0, ""},  // U+FF15, a non-ASCII digit
  };
  for (const Case& c : cases) {
    const tessarin::builder::IntegerText parsed = tessarin::builder::parse_integer_text(c.text);
    CHECK_EQ(static_cast<int>(parsed.status), static_cast<int>(c.status));
    CHECK_EQ(parsed.value, c.value);
    if (c.status != kNot) CHECK_EQ(tessarin::builder::integer_shown(c.text), std::string(c.shown));
  }
  CHECK_EQ(tessarin::builder::integer_shown(std::string(200, '9')), std::string(77, '9') + "...");
}

TEST(each_check_refuses_with_its_kind_value_and_message) {
  std::uint32_t count = 0;
  tessarin::builder::VideoValue video;
  using tessarin::builder::read_count;
  using tessarin::builder::read_video;
  const std::string uuid = "8c5e5efd-1d23-47fe-be6b-74a0934c4538";
  const std::pair<std::optional<Rejection>, std::string> cases[] = {
      {read_count(Field::of_signed(-2), count),
       "count | -2 | the count -2 is outside 0..4294967295"},
      {read_count(Field::of_text(" -2 "), count),
       "count | -2 | the count -2 is outside 0..4294967295"},
      {read_count(Field::of_unsigned(4294967296u), count),
       "count | 4294967296 | the count 4294967296 is outside 0..4294967295"},
      {read_count(Field::of_text("many"), count),
       "count | 'many' | the count 'many' is not an integer"},
      {read_count(Field::missing(), count), "missing | null | the count is missing (null)"},
      {read_video(Field::of_signed(-1), video),
       "video range | -1 | the video identifier -1 is outside 0..4294967295"},
      {read_video(Field::of_text("-1"), video),
       "video range | -1 | the video identifier -1 is outside 0..4294967295"},
      {read_video(Field::of_integer_text(std::string(40, '9')), video),
       "video range | 9999999999999999999999999999999999999999 | the video identifier "
       "9999999999999999999999999999999999999999 is outside 0..4294967295"},
      {read_video(Field::of_text(uuid.substr(1)), video),
       "video text | '" + uuid.substr(1) + "' | the video identifier '" + uuid.substr(1) +
           "' is neither an integer nor a UUID"},
      {read_video(Field::of_bytes("1234"), video),
       "video bytes | '1234' | a binary video identifier must be 16 bytes long, not 4"},
      {read_video(Field::of_text(uuid), video), "accepted"},
      {tessarin::builder::kind_mismatch(tessarin::IdMode::Int32, video),
       "mixed kinds | " + uuid +
           " | mixed video identifier kinds: this index holds integers; one index holds UUIDs "
           "(or 16 bytes) or integers, not both"},
      {tessarin::builder::check_term("", TermForm::kUnchecked),
       "empty term | '' | the term is empty"},
      {tessarin::builder::check_term(std::string_view("a\0", 2), TermForm::kUnchecked),
       "term U+0000 | 'a\\x00' | the term holds the character U+0000"},
      {tessarin::builder::check_term("\xFF", TermForm::kUnchecked),
       "term UTF-8 | '\\xff' | the term '\\xff' is not valid UTF-8"},
      {tessarin::builder::check_term("a\xED\xA0\x80", TermForm::kLoneSurrogates),
       "term UTF-8 | 'a\\xed\\xa0\\x80' | the term holds a lone surrogate, which is not a "
       "character"},
  };
  for (const auto& [got, want] : cases) CHECK_EQ(refusal(got), want);
}

TEST(a_builder_laid_out_before_any_term_still_takes_records) {
  tessarin::builder::RecordBuilder builder;
  const auto noop = [](std::size_t, std::size_t) {};
  CHECK(builder.lay_out(3, noop).child_labels.size() == 1);  // the root alone
  CHECK(!builder.add("a", TermForm::kUnchecked, Field::of_signed(1), Field::of_signed(2)));
  CHECK(!builder.add("a", TermForm::kUnchecked, Field::of_text("1"), Field::of_text("3")));
  CHECK_EQ(builder.lay_out(3, noop).payloads.view(1).total_count, 5u);
}
