// Restoring a saved index that may be damaged, for callers that would
// rather refuse it at once than meet it half-way through a query.
//
// restore_checked() decodes a saved form (format/saved_form.h) and
// refuses it unless:
//   * the bytes hold exactly one saved form, nothing after it;
//   * node_shifts, payloads and is_terminal have one entry per node;
//   * every child_transitions entry names a node, every node_shifts entry
//     is at most the length of child_transitions;
//   * the child lists form a tree below the root: no entry names the root,
//     no node is named twice, and no entry lies in the child ranges of two
//     nodes (node_shifts may fall, which can make ranges overlap);
//   * every payload lists as many counts as videos.
// An index that passes is walked with plain reads (Trie::well_formed), its
// walks never examine an entry twice, and the ranking, suggestions and node
// reports read nothing outside an array. Video positions outside the video
// table are allowed: queries leave them out, as they leave them out on any
// index.
//
// Errors (kDecode) are plain sentences: "the saved index does not decode:
// <the decode error's text>", "the saved index has <k> bytes after its
// end", "the saved index does not hold together: <what>".
//
// Cost: the decoding, plus O(nodes + child entries + payloads) for the
// checks and one byte per child entry of scratch. Thread safety: reads only
// `bytes`, which must not change meanwhile.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "index/trie.h"
#include "util/result.h"

namespace tessarin {

Result<Trie> restore_checked(std::span<const std::uint8_t> bytes);

// What breaks the structure listed above, or nothing when it holds.
std::optional<std::string> structure_fault(const Trie& trie);

}  // namespace tessarin
