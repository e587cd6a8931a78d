// Scratch<T, Tag>: a vector lent by the calling thread, so that working
// memory that every query needs (the walk's frames and rows, the matches it
// collects) is allocated once per thread rather than once per query.
//
// Each thread keeps one spare vector per (T, Tag). A Scratch moves the
// spare out, empty but with its capacity, and moves its vector back when
// destroyed (an exception passing through included), so that no two
// Scratches ever share memory: one made while another of the same (T, Tag)
// is alive on this thread (a query run from within another's visitor)
// finds the spare already taken, empty, and grows a vector of its own, as a
// plain local would; answers never depend on which one a call gets. Uses
// that are alive at once on one thread take distinct tags, so that each
// gets its spare.
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

  Scratch() : items_(std::move(thread_spare())) {}  // kept empty

  ~Scratch() {
    if (items_.capacity() > kKeptBytes / sizeof(T)) return;  // freed
    items_.clear();
    thread_spare() = std::move(items_);
  }

  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  Scratch(Scratch&&) = delete;
  Scratch& operator=(Scratch&&) = delete;

  [[nodiscard]] std::vector<T>& get() { return items_; }
  [[nodiscard]] const std::vector<T>& get() const { return items_; }

 private:
  static std::vector<T>& thread_spare() {
    thread_local std::vector<T> spare;
    return spare;
  }

  std::vector<T> items_;
};

}  // namespace tessarin
