// Scratch<T, Tag>: a vector lent by the calling thread, so that working
// memory that every query needs (the walk's frames and rows, the matches it
// collects) is allocated once per thread rather than once per query.
//
// Each thread keeps one spare vector per (T, Tag). A Scratch takes it,
// empty but with its capacity, when no other Scratch of the same (T, Tag)
// on this thread holds it, and gives it back when destroyed (an exception
// passing through included). A Scratch made while the spare is held (a
// query run from within another's visitor) gets an empty vector of its
// own, as a plain local would: answers never depend on which one a call
// gets. Uses that can be alive at once on one thread take distinct tags, so
// that each gets its spare.
//
// Memory: a spare that grew past kKeptBytes is freed rather than kept, so
// after a large query a thread keeps at most that much per (T, Tag); each
// spare is freed when its thread ends.
//
// Thread safety: a spare belongs to its thread (thread_local) and is never
// shared; a Scratch must be destroyed on the thread that made it (it is a
// local of the call that uses it).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tessarin {

template <class T, class Tag = void>
class Scratch {
 public:
  // A spare larger than this is freed on return instead of being kept.
  static constexpr std::size_t kKeptBytes = std::size_t{64} << 10;

  Scratch() {
    Spare& spare = thread_spare();
    if (!spare.lent) {
      spare.lent = true;
      lender_ = &spare;
      items_ = std::move(spare.items);
      items_.clear();
    }
  }

  ~Scratch() {
    if (lender_ == nullptr) return;
    if (items_.capacity() <= kKeptBytes / sizeof(T)) {
      items_.clear();
      lender_->items = std::move(items_);
    }
    lender_->lent = false;
  }

  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  Scratch(Scratch&&) = delete;
  Scratch& operator=(Scratch&&) = delete;

  [[nodiscard]] std::vector<T>& get() { return items_; }
  [[nodiscard]] const std::vector<T>& get() const { return items_; }

 private:
  struct Spare {
    std::vector<T> items;
    bool lent = false;
  };

  static Spare& thread_spare() {
    thread_local Spare spare;
    return spare;
  }

  Spare* lender_ = nullptr;  // the spare taken, or nullptr for a vector of its own
  std::vector<T> items_;
};

}  // namespace tessarin
