#include "query/video_text.h"

#include <array>
#include <charconv>
#include <cstddef>

namespace tessarin {

std::string uuid_text(const Uuid& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(36, '-');
  std::size_t at = 0;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    if (k == 4 || k == 6 || k == 8 || k == 10) ++at;  // leave the hyphen
    text[at++] = kHex[bytes[k] >> 4];
    text[at++] = kHex[bytes[k] & 0xF];
  }
  return text;
}

std::string decimal_text(std::uint32_t value) {
  std::array<char, 10> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  return {digits.data(), end};
}

std::optional<std::string> video_text(const Trie& trie, std::uint32_t video) {
  if (trie.id_mode() == IdMode::Int32) {
    if (video >= trie.video_int_ids().size()) return std::nullopt;
    return decimal_text(trie.video_int_ids()[video]);
  }
  if (video >= trie.video_uuids().size()) return std::nullopt;
  return uuid_text(trie.video_uuids()[video]);
}

}  // namespace tessarin
