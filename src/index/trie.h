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
// How far the arrays hold together is the index's trust level
// (index/validation.h), decided once by the factory that makes it:
// * built from arrays (index/from_arrays.h) or restored without a full
//   check (format/saved_form.h): kInBounds when every read a walk can make
//   lies inside its array, else kNone (a restored index may hold anything);
// * laid out by the record builder (build/layout.h): kTree, checked when
//   made (its indexes reach kConsistent, which the tests check);
// * restored checked (format/restore_checked.h): kSound, checked when made.
// Below kInBounds every read goes through the checked accessors below. No
// level says that children have greater indices than their parent.
//
// A Trie is immutable: made once from its arrays, which it either owns
// (TrieArrays, moved into a block that copies of the Trie share) or borrows
// (views over memory that an owner handle keeps alive: a mapped index file,
// format/mapped_form.h). Either way it reads them through the same spans;
// const methods may be called from any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "index/child_range.h"
#include "index/payload.h"
#include "index/validation.h"
#include "index/video_ids.h"
#include "search/search_aids.h"
#include "util/checked.h"
#include "util/result.h"

namespace tessarin {

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

  // Views over the arrays, for validation.
  [[nodiscard]] IndexView view() const {
    return {node_shifts,     child_labels, child_transitions, is_terminal,
            payloads.view(), video_uuids,  video_int_ids,     id_mode};
  }
  // Whether the arrays reach Trust::kInBounds (index/validation.h). O(n).
  [[nodiscard]] bool reads_in_bounds() const;
};

// Whatever keeps borrowed arrays alive: released when the last Trie that
// reads them goes.
using ArrayOwner = std::shared_ptr<const void>;

// An index: its arrays, read-only, and what the search derives from them.
// Made once, from TrieArrays or from views and their owner; nothing changes
// it afterwards, so its trust level and term count are decided once, when
// it is made.
class Trie {
 public:
  // An index with no nodes (it reads nothing: Trust::kTree).
  Trie() = default;
  // An index of these arrays, built or restored: trusted as far as the
  // bounds check (Trust::kInBounds when it passes, else kNone). O(n).
  explicit Trie(TrieArrays arrays);
  // The arrays checked up to `level` (index/validation.h): the index,
  // trusted to that level, or the first fault below it.
  [[nodiscard]] static std::variant<Trie, Fault> checked(TrieArrays arrays, Trust level);
  // Arrays that `owner` keeps alive (and unchanged for as long as it
  // lives), checked up to `level`, with the search aids stored beside them
  // (read instead of derived) or none: stored aids are checked to be what
  // deriving would give (search/search_aids.h: stored_aids_fault), and need
  // `level` at least kSound. `bytes` is what the borrowed memory takes, for
  // memory_bytes(). Fails (kDamaged) with the fault in a sentence.
  // `vouched`: these very bytes were checked up to `level` (and the aids
  // against them) before, by whoever made them unchangeable and handed them
  // over; nothing is checked again. Only for such bytes.
  [[nodiscard]] static Result<Trie> borrowed(const IndexView& arrays, ArrayOwner owner,
                                             std::size_t bytes, Trust level,
                                             std::optional<StoredAids> aids, bool vouched = false);
  // The same arrays at Trust::kNone, always walked with checked reads (to
  // test that walk).
  [[nodiscard]] static Trie with_checked_reads(TrieArrays arrays);

  // A copy shares the arrays (they never change) and its stored aids, and
  // derives what it derives anew.
  Trie(const Trie&) = default;
  Trie& operator=(const Trie&) = default;
  Trie(Trie&&) noexcept = default;
  Trie& operator=(Trie&&) noexcept = default;
  ~Trie() = default;

  [[nodiscard]] const NodeShifts& node_shifts() const { return view_.node_shifts; }
  [[nodiscard]] const ChildLabels& child_labels() const { return view_.child_labels; }
  [[nodiscard]] const ChildEntries& child_transitions() const { return view_.child_transitions; }
  [[nodiscard]] const Payloads& payloads() const { return view_.payloads; }
  [[nodiscard]] std::span<const Uuid> video_uuids() const { return view_.video_uuids; }
  [[nodiscard]] std::span<const std::uint32_t> video_int_ids() const { return view_.video_int_ids; }
  [[nodiscard]] IdMode id_mode() const { return view_.id_mode; }
  [[nodiscard]] const TerminalFlags& is_terminal() const { return view_.is_terminal; }

  // A copy of the arrays, to make another index of (tests, tools).
  [[nodiscard]] TrieArrays to_arrays() const;
  // The arrays, the index given up (to rewrite its payloads): moved out
  // when this Trie alone owns them, else copied.
  [[nodiscard]] TrieArrays release() &&;

  // How far the arrays are known to hold together: from kInBounds on, the
  // matcher walks with plain reads; from kTree on, the search aids need
  // not check the tree again.
  [[nodiscard]] Trust trust() const { return trust_; }
  [[nodiscard]] const IndexView& view() const { return view_; }

  // What the fast search derives from the arrays on first use
  // (search/search_aids.h), unless stored_aids() has it.
  [[nodiscard]] const DerivedSlot& derived() const { return derived_; }
  // The search aids stored with the arrays (an index file's), if any.
  [[nodiscard]] const StoredAids* stored_aids() const {
    return stored_aids_ ? &*stored_aids_ : nullptr;
  }

  [[nodiscard]] std::size_t node_count() const { return view_.child_labels.size(); }
  // The nodes at which a term ends (non-zero is_terminal entries).
  [[nodiscard]] std::size_t term_count() const { return term_count_; }

  // The children of `node`, checked: reading node_shifts outside its length
  // is an internal failure. The range may still reach beyond
  // child_transitions; read its entries with child().
  [[nodiscard]] ChildRange children(std::size_t node) const;
  // Entry `position` of child_transitions, checked.
  [[nodiscard]] std::uint32_t child(std::size_t position) const {
    if (position >= child_transitions().size()) {
      fail_out_of_range("child_transitions", position, child_transitions().size());
    }
    return child_transitions()[position];
  }
  [[nodiscard]] char32_t label(std::size_t node) const {
    if (node >= child_labels().size())
      fail_out_of_range("child_labels", node, child_labels().size());
    return child_labels()[node];
  }
  [[nodiscard]] bool terminal(std::size_t node) const {
    if (node >= is_terminal().size()) fail_out_of_range("is_terminal", node, is_terminal().size());
    return is_terminal()[node] != 0;
  }

  // Bytes of memory the index reads: its own arrays' heap (or the borrowed
  // memory's size), what has been derived from it included.
  [[nodiscard]] std::size_t memory_bytes() const;

 private:
  Trie(TrieArrays arrays, Trust trust);

  IndexView view_;
  ArrayOwner owner_;             // keeps view_ alive; null for no nodes
  TrieArrays* owned_ = nullptr;  // the arrays owner_ holds, when they are ours
  std::size_t borrowed_bytes_ = 0;
  Trust trust_ = Trust::kTree;  // an index with no nodes reads nothing
  std::size_t term_count_ = 0;
  std::optional<StoredAids> stored_aids_;
  DerivedSlot derived_;
};

}  // namespace tessarin
