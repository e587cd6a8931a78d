// The arrays a query reads, as byte ranges: the node arrays (child ranges,
// labels, entries, terminal flags), the payload marks or slots, the stored
// search aids (per-child positions, preorder, label order, the reversed
// trie with its ranks and nodes, the completion bound), and what the nodes
// it reports lead to (the payloads' totals, offsets and lists, the video
// table). In ascending order of address. What a server populates before
// its first query (util/page_touch.h), so that no query faults a page.
//
// Cost: O(1), no memory read but the spans'. Thread safety: as the trie's
// reads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/trie.h"

namespace tessarin {

std::vector<std::span<const std::uint8_t>> walked_arrays(const Trie& trie);

}  // namespace tessarin
