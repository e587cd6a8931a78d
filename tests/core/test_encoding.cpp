// The primitives of the saved form on the core directly: what the Python
// surface cannot reach (64-bit integers beyond 32 bits), and measuring
// against writing at every width boundary.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "format/decode_error.h"
#include "format/reader.h"
#include "format/saved_form.h"
#include "format/writer.h"

using tessarin::encoding::BufferWriter;
using tessarin::encoding::Reader;
using tessarin::encoding::SizeCounter;

namespace {

std::vector<std::uint8_t> written_u64(std::uint64_t value) {
  std::vector<std::uint8_t> out(9, 0xAA);
  BufferWriter writer(out.data());
  writer.varint_encode_u64(value);
  out.resize(writer.size());
  return out;
}

}  // namespace

TEST(integers_are_measured_written_and_read_alike) {
  const std::uint64_t values[] = {0,     250,         251,          65535,
                                  65536, 0xFFFFFFFFu, 0x100000000u, 0xFFFFFFFFFFFFFFFFu};
  for (const std::uint64_t v : values) {
    const std::vector<std::uint8_t> bytes = written_u64(v);
    SizeCounter counter;
    counter.varint_encode_u64(v);
    CHECK_EQ(counter.size(), bytes.size());
    // Read at the very end of the input (checked byte by byte) and with
    // room to spare (one length check): the same value and length.
    for (const std::size_t padding : {0, 9}) {
      std::vector<std::uint8_t> input = bytes;
      input.resize(bytes.size() + padding, 0);
      Reader reader(input);
      std::uint64_t read = 0;
      CHECK(reader.varint_decode_u64(&read));
      CHECK_EQ(read, v);
      CHECK_EQ(reader.consumed(), bytes.size());
    }
  }
  CHECK_EQ(written_u64(0x100000000u), (std::vector<std::uint8_t>{0xFD, 0, 0, 0, 0, 1, 0, 0, 0}));
  CHECK_EQ(written_u64(251), (std::vector<std::uint8_t>{0xFB, 0xFB, 0x00}));
}

TEST(an_eight_byte_form_is_refused_for_32_bits_either_way) {
  for (const std::size_t padding : {0, 9}) {
    std::vector<std::uint8_t> input = {0xFD, 1, 0, 0, 0, 0, 0, 0, 0};
    input.resize(input.size() + padding, 0);
    Reader reader(input);
    std::uint32_t read = 0;
    CHECK(!reader.varint_decode_u32(&read));
    CHECK_EQ(to_string(reader.error()),
             std::string("InvalidIntegerType { expected: U32, found: U64 }"));
  }
}

TEST(characters_are_measured_written_and_read_alike) {
  const char32_t chars[] = {0, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  for (const char32_t c : chars) {
    std::array<std::uint8_t, 4> out{};
    BufferWriter writer(out.data());
    writer.character(c);
    SizeCounter counter;
    counter.character(c);
    CHECK_EQ(counter.size(), writer.size());
    Reader reader(std::span<const std::uint8_t>(out.data(), writer.size()));
    char32_t read = 0;
    CHECK(reader.read_char(&read));
    CHECK_EQ(static_cast<std::uint32_t>(read), static_cast<std::uint32_t>(c));
  }
}

TEST(the_empty_index_is_eight_zero_bytes_and_reads_back) {
  const auto encoded = tessarin::encoding::encode_to_vec(tessarin::Trie{});
  CHECK(encoded.ok());
  const std::vector<std::uint8_t>& saved = encoded.value();
  CHECK_EQ(saved, std::vector<std::uint8_t>(8, 0));
  std::vector<std::uint8_t> input = saved;
  input.push_back(0x42);
  auto decoded = tessarin::encoding::decode_from_slice_with_context(input);
  CHECK(decoded.ok());
  CHECK_EQ(decoded.value().consumed, std::size_t{8});
}
