// The index: a prefix trie over search terms in compressed-row form.
//
// Per node i (n nodes, node 0 the root): node_shifts[i], the position in
// child_transitions where node i's children begin; child_labels[i], the
// character on the edge into node i (0: no label; the root's is never read);
// payloads[i], the videos reached through node i; is_terminal[i], 1 when a
// term ends at node i. The children of node i are child_transitions[s..e)
// with s = node_shifts[i] and e = node_shifts[i + 1], or the length of
// child_transitions for the last entry of node_shifts; when e <= s there are
// none. The video table in use (by id_mode) names the videos that payloads
// list by position.
//
// A built index (index/from_arrays.h) guarantees: node_shifts, child_labels, payloads
// and is_terminal have n entries; every child index is below n; every
// node_shifts entry is at most the length of child_transitions; every payload
// is present with lists of equal length. It does not guarantee that the
// child lists form a tree, that children have greater indices than their
// parent, that sibling labels differ, or that video positions lie inside the
// table. A restored index (format/saved_form.h) guarantees nothing at
// all: whoever walks a Trie reads through the checked accessors below.
//
// A Trie is immutable: made once from its arrays (TrieArrays) by building,
// restoring or the record builder; const methods may be called from any
// number of threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/child_range.h"
#include "index/payload.h"
#include "search/search_aids.h"
#include "util/checked.h"

namespace tessarin {

enum class IdMode : std::uint8_t { Uuid = 0, Int32 = 1 };

using Uuid = std::array<std::uint8_t, 16>;

// The arrays of an index, plain and mutable: what a factory (building,
// restoring, the record builder) assembles before it makes a Trie of them.
struct TrieArrays {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;
  std::vector<std::uint32_t> child_transitions;
  PayloadTable payloads;
  std::vector<Uuid> video_uuids;
  std::vector<std::uint32_t> video_int_ids;
  IdMode id_mode = IdMode::Uuid;
  std::vector<std::uint8_t> is_terminal;

  // Whether every read a walk can make lies inside its array: node_shifts
  // and is_terminal have one entry per node, every child_transitions entry
  // is below the node count, and every node_shifts entry is at most the
  // length of child_transitions. O(n); says nothing about the child lists
  // forming a tree.
  [[nodiscard]] bool reads_in_bounds() const;
};

// An index: its arrays, read-only, and what the search derives from them.
// Made once from TrieArrays; nothing changes it afterwards, so whether it
// may be walked with plain reads is decided once, when it is made.
class Trie {
 public:
  // An index with no nodes.
  Trie() = default;
  // An index of these arrays, walked with plain reads when their reads lie
  // in bounds (TrieArrays::reads_in_bounds) and with checked reads otherwise.
  explicit Trie(TrieArrays arrays);
  // The same arrays, always walked with checked reads (to test that walk).
  [[nodiscard]] static Trie with_checked_reads(TrieArrays arrays);

  // A copy shares nothing, and derives its search aids anew.
  Trie(const Trie&) = default;
  Trie& operator=(const Trie&) = default;
  Trie(Trie&&) noexcept = default;
  Trie& operator=(Trie&&) noexcept = default;
  ~Trie() = default;

  [[nodiscard]] std::span<const std::uint32_t> node_shifts() const { return arrays_.node_shifts; }
  [[nodiscard]] std::span<const char32_t> child_labels() const { return arrays_.child_labels; }
  [[nodiscard]] std::span<const std::uint32_t> child_transitions() const {
    return arrays_.child_transitions;
  }
  [[nodiscard]] const PayloadTable& payloads() const { return arrays_.payloads; }
  [[nodiscard]] std::span<const Uuid> video_uuids() const { return arrays_.video_uuids; }
  [[nodiscard]] std::span<const std::uint32_t> video_int_ids() const {
    return arrays_.video_int_ids;
  }
  [[nodiscard]] IdMode id_mode() const { return arrays_.id_mode; }
  [[nodiscard]] std::span<const std::uint8_t> is_terminal() const { return arrays_.is_terminal; }

  // A copy of the arrays, to make another index of (tests, tools).
  [[nodiscard]] TrieArrays to_arrays() const { return arrays_; }
  // The arrays themselves, the index given up (to rewrite its payloads).
  [[nodiscard]] TrieArrays release() && { return std::move(arrays_); }

  // Whether every read a walk makes is known to lie inside its array, so
  // that the matcher walks with plain reads instead of checked ones.
  [[nodiscard]] bool well_formed() const { return well_formed_; }
  [[nodiscard]] bool reads_in_bounds() const { return arrays_.reads_in_bounds(); }

  // What the fast search derives from the arrays on first use
  // (search/search_aids.h). Not part of the saved form.
  [[nodiscard]] const DerivedSlot& derived() const { return derived_; }

  [[nodiscard]] std::size_t node_count() const { return arrays_.child_labels.size(); }

  // The children of `node`, checked: reading node_shifts outside its length
  // is an internal failure. The range may still reach beyond
  // child_transitions; read its entries with child().
  [[nodiscard]] ChildRange children(std::size_t node) const;
  // Entry `position` of child_transitions, checked.
  [[nodiscard]] std::uint32_t child(std::size_t position) const {
    return at(child_transitions(), position, "child_transitions");
  }
  [[nodiscard]] char32_t label(std::size_t node) const {
    return at(child_labels(), node, "child_labels");
  }
  [[nodiscard]] bool terminal(std::size_t node) const {
    return at(is_terminal(), node, "is_terminal") != 0;
  }

  // Heap bytes held by the index, what has been derived from it included.
  [[nodiscard]] std::size_t memory_bytes() const;

 private:
  TrieArrays arrays_;
  bool well_formed_ = true;  // an index with no nodes reads nothing
  DerivedSlot derived_;
};

// Rewrites every payload into the merge of its subtree, cut to
// `video_top_n` videos (see trie.cpp). Runs once, as the last step of
// building; requires the guarantees of a built index listed above.
[[nodiscard]] Trie propagate(Trie trie, std::size_t video_top_n);

}  // namespace tessarin
