// How an index names its videos: by 16-byte UUIDs or by 32-bit integers
// (its id mode), each kind in a table of its own that payloads address by
// position.
#pragma once

#include <array>
#include <cstdint>

namespace tessarin {

enum class IdMode : std::uint8_t { Uuid = 0, Int32 = 1 };

using Uuid = std::array<std::uint8_t, 16>;

}  // namespace tessarin
