#include "format/saved_form.h"

#include <string>
#include <string_view>
#include <utility>

#include "format/reader.h"
#include "format/writer.h"

namespace tessarin::encoding {
namespace {

// Type names that decode errors report for the two tagged fields. Fixed:
// they appear in the messages callers match on, whatever this code's own
// type names are.
constexpr std::string_view kPayloadOptionName = "core::option::Option<tessarin::payload::Payload>";
constexpr std::string_view kIdModeName = "IdMode";

template <class Sink, class Values>
void write_u32_sequence(Sink& sink, const Values& values) {
  sink.varint_encode_u64(values.size());
  for (const std::uint32_t v : values) sink.varint_encode_u32(v);
}

// The one description of the saved form that both measuring (SizeCounter)
// and writing (BufferWriter) run, so the two cannot drift apart.
template <class Sink>
void write_trie(const Trie& trie, Sink& sink) {
  write_u32_sequence(sink, trie.node_shifts());

  sink.varint_encode_u64(trie.child_labels().size());
  for (const char32_t c : trie.child_labels()) sink.character(c);

  write_u32_sequence(sink, trie.child_transitions());

  const Payloads& payloads = trie.payloads();
  sink.varint_encode_u64(payloads.size());
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if (!payloads.present(i)) {
      sink.byte(0);
      continue;
    }
    const PayloadView p = payloads.view(i);
    sink.byte(1);
    sink.varint_encode_u32(p.total_count);
    write_u32_sequence(sink, p.video_ids);
    write_u32_sequence(sink, p.video_counts);
  }

  sink.varint_encode_u64(trie.video_uuids().size());
  for (const Uuid& id : trie.video_uuids()) sink.bytes16(id);

  write_u32_sequence(sink, trie.video_int_ids());

  sink.varint_encode_u32(static_cast<std::uint32_t>(trie.id_mode()));

  sink.varint_encode_u64(trie.is_terminal().size());
  for (const std::uint8_t flag : trie.is_terminal()) sink.byte(flag != 0 ? 1 : 0);
}

bool read_u32_sequence(Reader& reader, std::vector<std::uint32_t>& out) {
  std::uint64_t length = 0;
  if (!reader.read_length(&length)) return false;
  out.reserve(reader.reserve_hint(length, 1));
  for (std::uint64_t k = 0; k < length; ++k) {
    std::uint32_t v = 0;
    if (!reader.varint_decode_u32(&v)) return false;
    out.push_back(v);
  }
  return true;
}

bool read_labels(Reader& reader, std::vector<char32_t>& out) {
  std::uint64_t length = 0;
  if (!reader.read_length(&length)) return false;
  out.reserve(reader.reserve_hint(length, 1));
  for (std::uint64_t k = 0; k < length; ++k) {
    char32_t c = 0;
    if (!reader.read_char(&c)) return false;
    out.push_back(c);
  }
  return true;
}

// One payload list, appended to the last payload of the table.
template <class Append>
bool read_payload_list(Reader& reader, Append&& append) {
  std::uint64_t length = 0;
  if (!reader.read_length(&length)) return false;
  for (std::uint64_t k = 0; k < length; ++k) {
    std::uint32_t v = 0;
    if (!reader.varint_decode_u32(&v)) return false;
    append(v);
  }
  return true;
}

bool read_payloads(Reader& reader, PayloadTable& out) {
  std::uint64_t length = 0;
  if (!reader.read_length(&length)) return false;
  // A saved index holds a payload for every node, at least 4 bytes each
  // (tag, total and two list lengths); the lists grow as they are read.
  out.reserve(reader.reserve_hint(length, 4), 0);
  for (std::uint64_t k = 0; k < length; ++k) {
    bool present = false;
    if (!reader.read_option_tag(kPayloadOptionName, &present)) return false;
    if (!present) {
      out.push_absent();
      continue;
    }
    std::uint32_t total_count = 0;
    if (!reader.varint_decode_u32(&total_count)) return false;
    out.push_present(total_count);
    if (!read_payload_list(reader, [&](std::uint32_t v) { out.append_video_id(v); }) ||
        !read_payload_list(reader, [&](std::uint32_t v) { out.append_video_count(v); })) {
      return false;
    }
  }
  return true;
}

bool read_uuids(Reader& reader, std::vector<Uuid>& out) {
  std::uint64_t length = 0;
  if (!reader.read_length(&length)) return false;
  out.reserve(reader.reserve_hint(length, 16));
  for (std::uint64_t k = 0; k < length; ++k) {
    Uuid id;
    if (!reader.read_bytes16(&id)) return false;
    out.push_back(id);
  }
  return true;
}

bool read_id_mode(Reader& reader, IdMode& out) {
  std::uint32_t tag = 0;
  if (!reader.read_enum_tag(kIdModeName, static_cast<std::uint32_t>(IdMode::Int32), &tag)) {
    return false;
  }
  out = static_cast<IdMode>(tag);
  return true;
}

bool read_is_terminal(Reader& reader, std::vector<std::uint8_t>& out) {
  std::uint64_t length = 0;
  return reader.read_length(&length) && reader.read_bools(length, out);
}

bool read_trie(Reader& reader, TrieArrays& trie) {
  return read_u32_sequence(reader, trie.node_shifts) && read_labels(reader, trie.child_labels) &&
         read_u32_sequence(reader, trie.child_transitions) &&
         read_payloads(reader, trie.payloads) && read_uuids(reader, trie.video_uuids) &&
         read_u32_sequence(reader, trie.video_int_ids) && read_id_mode(reader, trie.id_mode) &&
         read_is_terminal(reader, trie.is_terminal);
}

}  // namespace

std::size_t encoded_size(const Trie& trie) {
  SizeCounter counter;
  write_trie(trie, counter);
  return counter.size();
}

Status encode_into(const Trie& trie, std::span<std::uint8_t> out) {
  BufferWriter writer(out.data());
  write_trie(trie, writer);
  if (writer.size() != out.size()) {
    return Error{ErrorKind::kInternal, "saved form of " + std::to_string(writer.size()) +
                                           " bytes written into a buffer of " +
                                           std::to_string(out.size())};
  }
  return {};
}

Result<std::vector<std::uint8_t>> encode_to_vec(const Trie& trie) {
  std::vector<std::uint8_t> out;
  const Status written = encode(trie, [&](std::size_t size) {
    out.resize(size);
    return std::span<std::uint8_t>(out);
  });
  if (!written.ok()) return written.error();
  return out;
}

Result<DecodedTrie> decode_from_slice_with_context(std::span<const std::uint8_t> bytes) {
  Reader reader(bytes);
  TrieArrays arrays;
  if (!read_trie(reader, arrays)) {
    return Error{ErrorKind::kDecode, to_string(reader.error())};
  }
  return DecodedTrie{Trie(std::move(arrays)), reader.consumed()};
}

}  // namespace tessarin::encoding
