// The table of sections at the head of an index file's mapped form
// (format/mapped_form.h): which arrays the form holds, where, and their
// checksums. Generic: it knows sections by kind number only.
//
// Layout (integers little-endian, offsets from the form's first byte):
//
//   0   8       tag "TSRWALK\0"
//   8   4       S, the number of sections (at most kMaxSections)
//   12  4       CRC-32C (format/crc32c.h) of bytes 0..12 and 16..16+32S
//   16  32 * S  one entry per section, in the order of their offsets:
//                 u32 kind, u32 CRC-32C of the section's bytes,
//                 u64 offset (a multiple of kSectionAlignment),
//                 u64 size in bytes, u64 reserved (0)
//
// The first section starts at the first multiple of kSectionAlignment past
// the table; each next one at the first such multiple at or past the end of
// the one before; the form ends where the last section ends. Every byte
// between them is 0, so that no byte of a form goes unchecked. Kinds are
// distinct.
//
// Reading checks all of that, and each section's checksum when asked: O(S)
// plus, with checksums, one pass over the form at the checksum's speed.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "util/result.h"

namespace tessarin::format {

inline constexpr std::size_t kSectionAlignment = 64;
inline constexpr std::size_t kMaxSections = 64;
inline constexpr std::size_t kTableEntrySize = 32;

struct Section {
  std::uint32_t kind = 0;
  std::uint32_t crc = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Offsets for sections of these sizes, in this order, and the size of the
// whole form.
struct SectionPlan {
  std::vector<Section> sections;  // kind, offset and size set; crc 0
  std::size_t form_size = 0;
};
[[nodiscard]] SectionPlan plan_sections(
    std::span<const std::pair<std::uint32_t, std::size_t>> kinds_and_sizes);

// Writes the head and the zero gaps into `form` (plan.form_size bytes) once
// every section's bytes are in place: computes their checksums.
void finish_sections(SectionPlan& plan, std::span<std::uint8_t> form);

// The sections of a form, checked as above (checksums only with `verify`).
// Errors are kDamaged, worded "the index file ...".
[[nodiscard]] Result<std::vector<Section>> read_sections(std::span<const std::uint8_t> form,
                                                         bool verify);

}  // namespace tessarin::format
