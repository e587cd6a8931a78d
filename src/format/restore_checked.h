// Restoring a saved index that may be damaged, for callers that would
// rather refuse it at once than meet it half-way through a query.
//
// restore_checked() decodes a saved form (format/saved_form.h) and
// refuses it unless the bytes hold exactly one saved form, nothing after
// it, and its arrays reach Trust::kTree (index/validation.h: one entry per
// node in each per-node array, child entries that name nodes and form a
// tree below the root, payloads with as many counts as videos). An index
// that passes is made at that level: walked with plain reads, its walks
// never examine an entry twice, and the ranking, suggestions and node
// reports read nothing outside an array. Video positions outside the video
// table are allowed: queries leave them out, as they leave them out on any
// index.
//
// Errors are plain sentences, by kind: kDecode, "the saved index does not
// decode: <the decode error's text>"; kDamaged, "the saved index has <k>
// bytes after its end" or "the saved index does not hold together: <the
// validation fault, described>".
//
// Cost: the decoding, plus the validation's O(nodes + child entries) and
// one byte of scratch per node and per child entry. Thread safety: reads
// only `bytes`, which must not change meanwhile.
#pragma once

#include <cstdint>
#include <span>

#include "index/trie.h"
#include "util/result.h"

namespace tessarin {

Result<Trie> restore_checked(std::span<const std::uint8_t> bytes);

}  // namespace tessarin
