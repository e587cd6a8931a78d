// Levenshtein rows of any length as bit vectors: Myers' bit-vector algorithm
// ("A fast bit-vector algorithm for approximate string matching based on
// dynamic programming", J. ACM 46(3), 1999) in the blocked form that Hyyrö
// describes for edit distance ("Explaining and extending the bit-parallel
// approximate string matching algorithm of Myers", 2001), for the walk of
// search/walk.h. The rows of search/rows.h, as the other engines compute
// them; same answers.
//
// A row is held as its vertical deltas: bit j - 1 of Pv (Mv) is set iff
// cur[j] - cur[j-1] is +1 (-1), for j = 1 .. m, in 64-bit blocks; cur[0] is
// the depth. Filling a child's row from its parent's costs a few word
// operations per block, whatever the bound: about m / 64 steps per node
// instead of the banded rows' min(m, 2K) + 1 cells, which is what a long
// query at a large bound needs (at K >= m/2 the band is the whole row).
//
// Each block is advanced by Myers' advance_block, with the horizontal delta
// at its top coming from the block below it (+1 at row 0: cur[0] grows by
// one per depth). The last cell, cur[m], is kept beside each row and moved
// by the horizontal delta at row m.
// Whether the row minimum is within the bound: cur[0] is the depth, so any
// row at depth <= K passes at once; deeper, the blocks are scanned, each
// one skipped when even its lowest possible cell is above the bound.
//
// Memory: a walk keeps a row for each ancestor whose later children are
// still to be filled, and the row of a last child overwrites its parent's
// (the walk passes parent_done): a chain of any depth needs one row. The
// match masks are dense (m / 8 bytes) only for the query's characters that
// occur at least once per block on average, so at most 64 of them; the
// others are set from their positions into a scratch row and cleared after
// use. Everything is in proportion to the query's length.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "search/rows.h"
#include "util/bit_count.h"

namespace tessarin::walk_detail {

// Positions are held in 32 bits.
inline constexpr std::uint64_t kMaxBlockedQuery = 0xFFFFFFFF;

// The query's match masks, per character: bit j - 1 of mask(c) set iff
// q_j == c.
class BlockMasks {
 public:
  explicit BlockMasks(std::u32string_view query)
      : blocks_(std::max<std::size_t>(1, (query.size() + 63) / 64)), scratch_(blocks_, 0) {
    std::vector<char32_t> distinct(query.begin(), query.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    chars_.reserve(distinct.size());
    for (const char32_t c : distinct) chars_.push_back({c, 0, 0, kSparse});
    // Positions of each character, grouped by character (a counting sort).
    for (const char32_t c : query) ++entry(c)->count;
    std::uint32_t offset = 0;
    for (Char& ch : chars_) {
      ch.first = offset;
      offset += ch.count;
      if (ch.count >= blocks_) ch.dense = static_cast<std::uint32_t>(dense_.size() / blocks_);
      if (ch.dense != kSparse) dense_.resize(dense_.size() + blocks_, 0);
      ch.count = 0;
    }
    positions_.resize(query.size());
    for (std::size_t j = 0; j < query.size(); ++j) {
      Char& ch = *entry(query[j]);
      positions_[ch.first + ch.count++] = static_cast<std::uint32_t>(j);
      if (ch.dense != kSparse) {
        dense_[ch.dense * blocks_ + j / 64] |= std::uint64_t{1} << (j % 64);
      }
    }
    ascii_.fill(kAbsent);
    for (std::size_t k = 0; k < chars_.size(); ++k) {
      if (chars_[k].c < ascii_.size()) ascii_[chars_[k].c] = static_cast<std::uint32_t>(k);
    }
  }

  [[nodiscard]] std::size_t blocks() const { return blocks_; }

  // The mask of `label`, blocks() words, or nullptr for a character that
  // the query does not have. Valid until the next call; release() after
  // use.
  const std::uint64_t* acquire(char32_t label) {
    const Char* ch = find(label);
    if (ch == nullptr) return nullptr;
    if (ch->dense != kSparse) return dense_.data() + std::size_t{ch->dense} * blocks_;
    in_scratch_ = ch;
    for (std::uint32_t k = 0; k < ch->count; ++k) {
      const std::uint32_t j = positions_[ch->first + k];
      scratch_[j / 64] |= std::uint64_t{1} << (j % 64);
    }
    return scratch_.data();
  }

  void release() {
    if (in_scratch_ == nullptr) return;
    for (std::uint32_t k = 0; k < in_scratch_->count; ++k) {
      scratch_[positions_[in_scratch_->first + k] / 64] = 0;
    }
    in_scratch_ = nullptr;
  }

 private:
  static constexpr std::uint32_t kSparse = ~std::uint32_t{0};
  static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};
  struct Char {
    char32_t c;
    std::uint32_t first;  // its positions: positions_[first, first + count)
    std::uint32_t count;
    std::uint32_t dense;  // its mask: dense_[dense * blocks_, ...), or kSparse
  };

  Char* entry(char32_t c) {
    return &*std::lower_bound(chars_.begin(), chars_.end(), c,
                              [](const Char& ch, char32_t x) { return ch.c < x; });
  }

  [[nodiscard]] const Char* find(char32_t label) const {
    if (label < ascii_.size()) {
      return ascii_[label] == kAbsent ? nullptr : &chars_[ascii_[label]];
    }
    const auto it = std::lower_bound(chars_.begin(), chars_.end(), label,
                                     [](const Char& ch, char32_t x) { return ch.c < x; });
    return it != chars_.end() && it->c == label ? &*it : nullptr;
  }

  std::size_t blocks_;
  std::vector<Char> chars_;  // sorted by character
  std::vector<std::uint32_t> positions_;
  std::vector<std::uint64_t> dense_;
  std::vector<std::uint64_t> scratch_;  // all zero but while acquired
  const Char* in_scratch_ = nullptr;
  std::array<std::uint32_t, 128> ascii_{};
};

class BlockedRows {
 public:
  BlockedRows(std::u32string_view query, std::uint64_t bound)
      : m_(query.size()),
        bound_(bound),
        masks_(query),
        blocks_(masks_.blocks()),
        last_valid_(m_ % 64 == 0 && m_ > 0 ? ~std::uint64_t{0}
                                           : (std::uint64_t{1} << (m_ % 64)) - 1),
        last_bit_(m_ == 0 ? 0 : (m_ - 1) % 64) {
    // Row 0: cur[j] = j, every delta +1.
    rows_.assign(2 * blocks_, 0);
    for (std::size_t b = 0; b < blocks_; ++b) rows_[2 * b] = ~std::uint64_t{0};
    rows_[2 * (blocks_ - 1)] = last_valid_;
    last_cells_.assign(1, m_);
    slots_.assign(1, 0);
  }

  // The walk is done with the parent's row after this child when
  // parent_done is set; the child's row then takes its place.
  Filled fill(std::size_t depth, char32_t label, bool parent_done) {
    const std::size_t source = slots_[depth];
    const std::size_t target = parent_done ? source : source + 1;
    if (depth + 2 > slots_.size()) slots_.resize(2 * (depth + 2));
    slots_[depth + 1] = target;
    if ((target + 1) * 2 * blocks_ > rows_.size()) {
      rows_.resize((target + 1) * 2 * blocks_);
      last_cells_.resize(target + 1);
    }
    const std::uint64_t* prev = rows_.data() + source * 2 * blocks_;
    std::uint64_t* cur = rows_.data() + target * 2 * blocks_;
    const std::uint64_t* match = masks_.acquire(label);
    // The horizontal delta cur[j] - prev[j] at the block's top: +1 at
    // j = 0, then what the block below hands on.
    std::uint64_t plus = 1;
    std::uint64_t minus = 0;
    for (std::size_t b = 0;; ++b) {
      std::uint64_t eq = match != nullptr ? match[b] : 0;
      const std::uint64_t pv = prev[2 * b];
      const std::uint64_t mv = prev[2 * b + 1];
      const std::uint64_t xv = eq | mv;
      eq |= minus;
      const std::uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
      const std::uint64_t ph = mv | ~(xh | pv);
      const std::uint64_t mh = pv & xh;
      const std::uint64_t shifted_ph = (ph << 1) | plus;
      const std::uint64_t shifted_mh = (mh << 1) | minus;
      cur[2 * b] = shifted_mh | ~(xv | shifted_ph);
      cur[2 * b + 1] = shifted_ph & xv;
      if (b + 1 == blocks_) {
        // The delta at row m: bit m - 1 of the block, or the one at its top
        // for an empty query.
        const std::uint64_t grow = m_ == 0 ? plus : (ph >> last_bit_) & 1;
        const std::uint64_t shrink = m_ == 0 ? minus : (mh >> last_bit_) & 1;
        cur[2 * b] &= last_valid_;
        cur[2 * b + 1] &= last_valid_;
        last_cells_[target] = last_cells_[source] + grow - shrink;
        break;
      }
      plus = ph >> 63;
      minus = mh >> 63;
    }
    masks_.release();
    return {reaches(depth + 1, bound_), last_cells_[target]};
  }

  [[nodiscard]] bool reaches(std::size_t depth, std::uint64_t d) const {
    return depth <= d || any_within(rows_.data() + slots_[depth] * 2 * blocks_, depth, d);
  }

 private:
  // Whether some cell of the row (cur[0] = first) is <= d.
  [[nodiscard]] bool any_within(const std::uint64_t* row, std::uint64_t first,
                                std::uint64_t d) const {
    std::uint64_t top = first;  // the cell just above the block
    for (std::size_t b = 0; b < blocks_; ++b) {
      const std::uint64_t pv = row[2 * b];
      const std::uint64_t mv = row[2 * b + 1];
      const auto down = static_cast<std::uint64_t>(bit_count(mv));
      if (top <= d + down) {
        std::uint64_t cell = top;
        for (std::size_t i = 0; i < 64; ++i) {
          cell = cell + ((pv >> i) & 1) - ((mv >> i) & 1);
          if (cell <= d) return true;
        }
      }
      top = top + static_cast<std::uint64_t>(bit_count(pv)) - down;
    }
    return false;
  }

  std::size_t m_;
  std::uint64_t bound_;
  BlockMasks masks_;
  std::size_t blocks_;
  std::uint64_t last_valid_;               // the bits of the last block that hold cells
  unsigned last_bit_;                      // the bit of cell m in the last block
  std::vector<std::uint64_t> rows_;        // slot s: Pv, Mv of block b at [2 * (s * blocks_ + b)]
  std::vector<std::uint64_t> last_cells_;  // cur[m] of the row in each slot
  std::vector<std::size_t> slots_;         // the slot of the row at each depth
};

}  // namespace tessarin::walk_detail
