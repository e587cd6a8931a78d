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
// A Trie is immutable once built or restored; const methods may be called
// from any number of threads at once.
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

struct Trie {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> child_labels;
  std::vector<std::uint32_t> child_transitions;
  PayloadTable payloads;
  std::vector<Uuid> video_uuids;
  std::vector<std::uint32_t> video_int_ids;
  IdMode id_mode = IdMode::Uuid;
  std::vector<std::uint8_t> is_terminal;

  // Set by building and by restoring, from reads_in_bounds(), once: the
  // matcher then walks with plain reads instead of checked ones. Not part of
  // the saved form. False (the checked walk) for a Trie assembled any other
  // way; whoever changes the arrays afterwards must clear it.
  bool well_formed = false;

  // What the fast search derives from the arrays on first use
  // (search/search_aids.h). Not part of the saved form; a copy starts
  // empty. Whoever changes the arrays after a query must forget_derived().
  DerivedSlot derived;
  void forget_derived() { derived.reset(); }

  [[nodiscard]] std::size_t node_count() const { return child_labels.size(); }

  // The children of `node`, checked: reading node_shifts outside its length
  // is an internal failure. The range may still reach beyond
  // child_transitions; read its entries with child().
  [[nodiscard]] ChildRange children(std::size_t node) const;
  // Entry `position` of child_transitions, checked.
  [[nodiscard]] std::uint32_t child(std::size_t position) const {
    return at(std::span<const std::uint32_t>(child_transitions), position, "child_transitions");
  }
  [[nodiscard]] char32_t label(std::size_t node) const {
    return at(std::span<const char32_t>(child_labels), node, "child_labels");
  }
  [[nodiscard]] bool terminal(std::size_t node) const {
    return at(std::span<const std::uint8_t>(is_terminal), node, "is_terminal") != 0;
  }

  // Whether every read a walk can make lies inside its array: node_shifts
  // and is_terminal have node_count() entries, every child_transitions
  // entry is below node_count(), and every node_shifts entry is at most the
  // length of child_transitions. O(n); says nothing about the child lists
  // forming a tree.
  [[nodiscard]] bool reads_in_bounds() const;

  // Rewrites every payload into the merge of its subtree, cut to
  // `video_top_n` videos (see trie.cpp). Runs once, as the last step of
  // building; requires the guarantees of a built index listed above.
  void propagate(std::size_t video_top_n);

  // Heap bytes held by the index, what has been derived from it included.
  [[nodiscard]] std::size_t memory_bytes() const;
};

}  // namespace tessarin
