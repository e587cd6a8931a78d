// The saved form of an index: the Trie's eight fields in declaration order,
// nothing before, between or after them (no header, version or checksum).
//
//   node_shifts        sequence of 32-bit integers
//   child_labels       sequence of characters
//   child_transitions  sequence of 32-bit integers
//   payloads           sequence of options: tag 0, or tag 1 then total_count
//                      (32-bit integer), video_ids and video_counts
//                      (sequences of 32-bit integers)
//   video_uuids        sequence of 16-byte identifiers
//   video_int_ids      sequence of 32-bit integers
//   id_mode            enumeration tag: 0 Uuid, 1 Int32
//   is_terminal        sequence of booleans
//
// The primitives are those of writer.h and reader.h. Saving measures the
// exact size first, so the output is allocated once and never grows.
// Loading reads in place from the caller's bytes, stops at the first error
// and keeps nothing of a failed read; bytes after a complete saved form are
// not read. A loaded Trie is exactly what the bytes say: none of the
// invariants of a built index is checked, and propagation is not run, since
// a saved index already holds propagated payloads. Whoever walks a loaded
// Trie reads it through its checked accessors (trie.h).
//
// Cost: O(size of the saved form) both ways; loading reserves no more
// elements for a sequence than the rest of the input could hold.
//
// Thread safety: saving only reads the Trie; both functions may run
// concurrently on different inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/trie.h"
#include "util/result.h"

namespace tessarin::encoding {

// Size in bytes of the saved form of `trie`.
[[nodiscard]] std::size_t encoded_size(const Trie& trie);

// Writes the saved form of `trie` into `out`, which must hold exactly
// encoded_size(trie) bytes. Fails (kInternal) only if what was written does
// not fill `out` exactly, which means the measuring and the writing disagree.
Status encode_into(const Trie& trie, std::span<std::uint8_t> out);

// Saves `trie` (PrefixSearch.to_bytes): measures its saved form, takes a
// buffer of exactly that size from allocate(size), a std::span<std::uint8_t>
// of `size` bytes, and writes the form into it, so that whoever keeps the
// output allocates it once, at its final size. allocate reports its own
// failure by throwing (std::bad_alloc when it cannot get the memory); nothing
// is written then. Fails as encode_into() does.
template <class Allocate>
Status encode(const Trie& trie, Allocate&& allocate) {
  const std::size_t size = encoded_size(trie);
  return encode_into(trie, allocate(size));
}

// The saved form of `trie` in a new buffer of exactly its size (encode()).
[[nodiscard]] Result<std::vector<std::uint8_t>> encode_to_vec(const Trie& trie);

struct DecodedTrie {
  Trie trie;
  std::size_t consumed = 0;  // bytes of the input that the saved form took
};

// Reads a saved form from the front of `bytes`. The error (kDecode) carries
// the DecodeError's text, e.g. "UnexpectedEnd { additional: 1 }".
[[nodiscard]] Result<DecodedTrie> decode_from_slice_with_context(
    std::span<const std::uint8_t> bytes);

}  // namespace tessarin::encoding
