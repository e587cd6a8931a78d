// Restoring a saved index that may be damaged, for callers that would
// rather refuse it at once than meet it half-way through a query.
//
// restore_checked() decodes a saved form (format/saved_form.h) and
// refuses it unless the bytes hold exactly one saved form, nothing after
// it, and its arrays reach Trust::kSound (index/validation.h): they form a
// tree below the root that reaches every node, siblings have distinct
// labels (0 aside), each terminal node has a payload, each payload lists as many
// counts as videos, no video twice and no count above its total, and the
// video table in use names each video once (the other one is empty). An
// index that passes is made at that level: walked with plain reads, and
// every answer within the documented bounds (scores at most 1, nothing
// twice in a result). What the saved form allows and changes no answer
// loads: video positions outside the table (queries leave them out), a
// label on the root (never read), no nodes at all (an index that answers
// nothing), nodes without a label (hidden from every walk, with their
// subtrees).
//
// Errors are plain sentences, by kind: kDecode, "the saved index does not
// decode: <the decode error's text>"; kDamaged, "the saved index has <k>
// bytes after its end" or "the saved index does not hold together: <the
// validation fault, described>".
//
// Cost: the decoding, plus the validation's O(nodes + child entries +
// listed videos + videos) and its scratch (index/validation.h). Thread safety: reads
// only `bytes`, which must not change meanwhile.
#pragma once

#include <cstdint>
#include <span>

#include "index/trie.h"
#include "util/result.h"

namespace tessarin {

Result<Trie> restore_checked(std::span<const std::uint8_t> bytes);

}  // namespace tessarin
