// CRC-32C (Castagnoli): the checksum of an index file's sections.
//
// The CRC with the reflected polynomial 0x82F63B78, initial value and final
// complement 0xFFFFFFFF (RFC 3720's, as iSCSI, ext4 and Btrfs use it;
// crc32c("123456789") = 0xE3069283). x86-64 processors since 2008 compute
// it with one instruction per 8 bytes (SSE 4.2's crc32), used when the
// processor has it; elsewhere a table-driven loop (slicing by 8, Intel's
// well-known software method) gives the same values at about a quarter of
// the speed. Detects every error of up to 32 consecutive bits, and every
// error of up to 3 bits in a section of up to 2^31 bits.
//
// Cost: O(n); with the instruction, three streams of 8 KB side by side
// (its 3 cycles of latency hidden; about 3 times one stream's 8 GB/s on
// long input, the streams joined by 4 table reads each: 4 KB of tables
// made on first use), 1 to 2 GB/s without. Thread safety: pure.
#pragma once

#include <cstdint>
#include <span>

namespace tessarin {

// The CRC-32C of `bytes`, continuing from `crc`, the CRC-32C of what came
// before them (0 for none): crc32c(b, crc32c(a)) == crc32c(a + b).
[[nodiscard]] std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// The same by the table-driven loop alone, whatever the processor (what
// crc32c() runs where the instruction is missing; tests compare the two).
[[nodiscard]] std::uint32_t crc32c_portable(std::span<const std::uint8_t> bytes,
                                            std::uint32_t crc = 0);

}  // namespace tessarin
