#include "build/integer_text.h"

namespace tessarin::builder {
namespace {

constexpr std::size_t kShownLength = 80;

// The text between the whitespace around it.
std::string_view trimmed(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_integer_space(text[begin])) ++begin;
  while (end > begin && is_integer_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::string integer_shown(std::string_view text) {
  std::string_view digits = trimmed(text);
  std::string out;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    if (digits[0] == '-') out.push_back('-');
    digits.remove_prefix(1);
  }
  while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
  if (digits == "0") return "0";  // "-0" is 0
  if (out.size() + digits.size() <= kShownLength) return out.append(digits);
  return out.append(digits.substr(0, kShownLength - 3 - out.size())).append("...");
}

}  // namespace tessarin::builder
