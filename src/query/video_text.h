// Video identifiers as text, as queries report them.
//
// A video is named by its position in the index's video table (the table
// of its id_mode). Uuid mode: the 16 stored bytes as 32 lowercase
// hexadecimal digits in groups of 8, 4, 4, 4 and 12, joined by hyphens, in
// stored order. Int32 mode: the stored value in decimal, unsigned, no
// leading zeros. A position outside the table names no video.
//
// Cost: one string of at most 36 characters. Thread safety: reads only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "index/trie.h"

namespace tessarin {

std::string uuid_text(const Uuid& bytes);
std::string decimal_text(std::uint32_t value);

// The text of table position `video`, or nothing beyond the table.
std::optional<std::string> video_text(const Trie& trie, std::uint32_t video);

}  // namespace tessarin
