// What a query can tell about one node of the trie, beyond its distance.
//
// * total_count(): the node's propagated total: the searches of its own
//   term and of every longer term below it (0 without a payload).
// * own_count(): the searches of the node's own term. Propagation made each
//   total the node's own count plus its children's totals (index/propagation.h, adding
//   with saturation at 2^32 - 1), so the own count is the total less the
//   children's totals, clamped at 0. A saturated total says nothing about
//   the split and is reported as it is. A child entry naming the node
//   itself is not counted, as propagation does not merge it.
// * node_videos(): the node's listed videos, named as the ranking names
//   them (video_text.h), highest count first (a stable sort: equal counts
//   keep their stored order). Positions outside the video table are left
//   out, as the ranking leaves them out. A node outside the index is the
//   caller's error (kValue): "node <i> out of range: the index has <n>
//   nodes".
// * match_node_info(): the nodes within max_dist of a query (the walk of
//   fuzzy_match_nodes, in preorder, under either distance), each with its
//   term, terminal flag and total, into a NodeMatches.
//
// All reads go through the trie's checked accessors: on a corrupt index
// these throw InternalFailure (util/checked.h), which match_node_info and
// node_videos return as an Error; total_count and own_count leave it to
// their caller's catch_internal.
//
// Thread safety: reads the trie only; a NodeMatches holds its thread's
// spares and stays on the thread that made it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/trie.h"
#include "search/distance.h"
#include "util/result.h"
#include "util/scratch.h"

namespace tessarin {

std::uint32_t total_count(const Trie& trie, std::size_t node);
std::uint32_t own_count(const Trie& trie, std::size_t node);
// The same over arrays that reach Trust::kInBounds (plain reads).
std::uint32_t own_count(const IndexView& index, std::size_t node);

struct VideoCount {
  std::string video;  // as video_text() names it
  std::uint32_t count = 0;
};

Result<std::vector<VideoCount>> node_videos(const Trie& trie, std::size_t node);

// The nodes within max_dist of a query, as match_node_info() leaves them:
// one entry per node, in the walk's order, and the terms side by side in
// one buffer of code points. Both are the calling thread's spares
// (util/scratch.h), so a query allocates nothing once its thread has
// asked one before; a NodeMatches is a local of the call that reads it.
class NodeMatches {
 public:
  struct Entry {
    std::size_t node = 0;
    std::size_t term_at = 0;  // the term is terms()[term_at, term_at + term_size)
    std::uint32_t term_size = 0;
    std::uint32_t distance = 0;
    std::uint32_t total_count = 0;
    bool terminal = false;
  };

  [[nodiscard]] const std::vector<Entry>& entries() const { return entries_.get(); }
  // The entry's term, as code points.
  [[nodiscard]] std::u32string_view term(const Entry& entry) const {
    return {terms_.get().data() + entry.term_at, entry.term_size};
  }

 private:
  friend Status match_node_info(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                                bool terminal_only, Distance distance, NodeMatches& out);

  struct TermsTag;
  Scratch<Entry> entries_;
  Scratch<char32_t, TermsTag> terms_;
};

// Fills `out` (which must be fresh) with each node within max_dist of
// term, its term, terminal flag and total.
Status match_node_info(const Trie& trie, std::u32string_view term, std::uint32_t max_dist,
                       bool terminal_only, Distance distance, NodeMatches& out);

// Appends the UTF-8 form of `path` to `out`.
void append_utf8(std::u32string_view path, std::string& out);

}  // namespace tessarin
