#include "format/sections.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "format/crc32c.h"

namespace tessarin::format {
namespace {

constexpr std::uint8_t kTag[8] = {'T', 'S', 'R', 'W', 'A', 'L', 'K', 0};
constexpr std::size_t kFixedHead = 16;

std::size_t align_up(std::size_t offset) {
  return (offset + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment;
}

template <class T>
T load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <class T>
void store(std::uint8_t* p, T value) {
  std::memcpy(p, &value, sizeof value);
}

// The head's checksum: bytes 0..12 and the table, the field itself left out.
std::uint32_t head_crc(std::span<const std::uint8_t> form, std::size_t count) {
  const std::uint32_t crc = crc32c(form.first(12));
  return crc32c(form.subspan(kFixedHead, count * kTableEntrySize), crc);
}

Error damaged(const std::string& what) {
  return Error{ErrorKind::kDamaged, "the index file " + what};
}

bool all_zero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

SectionPlan plan_sections(std::span<const std::pair<std::uint32_t, std::size_t>> kinds_and_sizes) {
  SectionPlan plan;
  std::size_t offset = align_up(kFixedHead + kinds_and_sizes.size() * kTableEntrySize);
  for (const auto& [kind, size] : kinds_and_sizes) {
    plan.sections.push_back({kind, 0, offset, size});
    plan.form_size = offset + size;
    offset = align_up(offset + size);
  }
  if (kinds_and_sizes.empty()) plan.form_size = kFixedHead;
  return plan;
}

void finish_sections(SectionPlan& plan, std::span<std::uint8_t> form) {
  std::size_t end = kFixedHead + plan.sections.size() * kTableEntrySize;
  std::uint8_t* entry = form.data() + kFixedHead;
  for (Section& section : plan.sections) {
    std::memset(form.data() + end, 0, section.offset - end);
    section.crc = crc32c(form.subspan(section.offset, section.size));
    store(entry, section.kind);
    store(entry + 4, section.crc);
    store(entry + 8, section.offset);
    store(entry + 16, section.size);
    store(entry + 24, std::uint64_t{0});
    entry += kTableEntrySize;
    end = section.offset + section.size;
  }
  std::memset(form.data() + end, 0, form.size() - end);
  std::memcpy(form.data(), kTag, sizeof kTag);
  store(form.data() + 8, static_cast<std::uint32_t>(plan.sections.size()));
  store(form.data() + 12, head_crc(form, plan.sections.size()));
}

Result<std::vector<Section>> read_sections(std::span<const std::uint8_t> form, bool verify) {
  if (form.size() < kFixedHead || std::memcmp(form.data(), kTag, sizeof kTag) != 0) {
    return damaged("has no table of sections");
  }
  const auto count = load<std::uint32_t>(form.data() + 8);
  if (count > kMaxSections || form.size() < kFixedHead + count * kTableEntrySize) {
    return damaged("has a damaged table of sections (" + std::to_string(count) + " sections)");
  }
  if (load<std::uint32_t>(form.data() + 12) != head_crc(form, count)) {
    return damaged("is damaged: the checksum of its table of sections does not match");
  }
  std::vector<Section> sections;
  sections.reserve(count);
  std::size_t end = kFixedHead + count * kTableEntrySize;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* entry = form.data() + kFixedHead + k * kTableEntrySize;
    const Section section{load<std::uint32_t>(entry), load<std::uint32_t>(entry + 4),
                          load<std::uint64_t>(entry + 8), load<std::uint64_t>(entry + 16)};
    const std::string which = "section " + std::to_string(k);
    if (load<std::uint64_t>(entry + 24) != 0) return damaged("has a damaged " + which);
    if (section.offset != align_up(end) || section.offset > form.size() ||
        section.size > form.size() - section.offset) {
      return damaged("is truncated or damaged: " + which + " lies outside it");
    }
    if (!all_zero(form.subspan(end, section.offset - end))) {
      return damaged("is damaged: the padding before " + which + " is not zero");
    }
    for (const Section& before : sections) {
      if (before.kind == section.kind) return damaged("holds two sections of one kind");
    }
    if (verify && crc32c(form.subspan(section.offset, section.size)) != section.crc) {
      return damaged("is damaged: the checksum of " + which + " does not match");
    }
    sections.push_back(section);
    end = section.offset + section.size;
  }
  if (end != form.size()) return damaged("is followed by bytes that are not part of it");
  return sections;
}

}  // namespace tessarin::format
