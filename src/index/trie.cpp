#include "index/trie.h"

#include <algorithm>
#include <string>
#include <thread>

#include "util/batch.h"

namespace tessarin {
namespace {

// Below this many nodes, checks take less than starting a thread.
constexpr std::size_t kTwoThreadNodes = std::size_t{1} << 18;

template <class T>
std::vector<T> copy_of(std::span<const T> values) {
  return {values.begin(), values.end()};
}

}  // namespace

Trie::Trie(TrieArrays arrays, Trust trust) : trust_(trust) {
  auto owned = std::make_shared<TrieArrays>(std::move(arrays));
  owned_ = owned.get();
  view_ = owned->view();
  owner_ = std::move(owned);
  term_count_ = view_.is_terminal.count();
}

Trie::Trie(TrieArrays arrays) : Trie(std::move(arrays), Trust::kNone) {
  if (owned_->reads_in_bounds()) trust_ = Trust::kInBounds;
}

std::variant<Trie, Fault> Trie::checked(TrieArrays arrays, Trust level) {
  if (std::optional<Fault> fault = find_fault(arrays.view(), level)) return *fault;
  return Trie(std::move(arrays), level);
}

Result<Trie> Trie::borrowed(const IndexView& arrays, ArrayOwner owner, std::size_t bytes,
                            Trust level, std::optional<StoredAids> aids, bool vouched) {
  if (aids && level < Trust::kSound) {
    return Error{ErrorKind::kInternal, "stored search aids need a sound index"};
  }
  // The reads in bounds and the lists a tree first: until then not even
  // the root's children may be read.
  std::optional<Fault> fault =
      vouched ? std::nullopt : find_fault(arrays, std::min(level, Trust::kTree));
  if (fault) return Error{ErrorKind::kDamaged, describe(*fault)};
  if (aids && !arrays.child_labels.empty()) complete_stored_aids(arrays, *aids);
  if (!vouched) {
    // The rest of the index's checks, those of its aids and those of its
    // completion bound read the arrays alone: a large index has them made
    // on two threads. Faults are told in that order, whichever is found
    // first.
    std::optional<std::string> aids_fault;
    std::optional<std::string> bounds_fault;
    const bool rest = level > Trust::kTree;
    const std::size_t threads =
        aids && rest && arrays.child_labels.size() >= kTwoThreadNodes
            ? std::min(2U, std::max(1U, std::thread::hardware_concurrency()))
            : 1;
    parallel_for(3, threads, [&](std::size_t task) {
      if (task == 0 && rest) fault = consistency_fault(arrays, level);
      if (task == 1 && aids) aids_fault = stored_aids_fault(arrays, *aids);
      if (task == 2 && aids) bounds_fault = stored_bounds_fault(arrays, *aids);
    });
    if (fault) return Error{ErrorKind::kDamaged, describe(*fault)};
    if (aids_fault || bounds_fault) {
      return Error{ErrorKind::kDamaged, "its stored search aids do not match it: " +
                                            (aids_fault ? *aids_fault : *bounds_fault)};
    }
  }
  Trie trie;
  trie.view_ = arrays;
  trie.owner_ = std::move(owner);
  trie.borrowed_bytes_ = bytes;
  trie.trust_ = level;
  trie.term_count_ = arrays.is_terminal.count();
  trie.stored_aids_ = aids;
  return trie;
}

Trie Trie::with_checked_reads(TrieArrays arrays) { return Trie(std::move(arrays), Trust::kNone); }

TrieArrays Trie::to_arrays() const {
  TrieArrays a;
  a.node_shifts.assign(view_.node_shifts.begin(), view_.node_shifts.end());
  a.child_labels.assign(view_.child_labels.begin(), view_.child_labels.end());
  a.child_transitions.assign(view_.child_transitions.begin(), view_.child_transitions.end());
  const Payloads& payloads = view_.payloads;
  a.payloads.reserve(payloads.size(), payloads.total_video_ids());
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if (!payloads.present(i)) {
      a.payloads.push_absent();
      continue;
    }
    const PayloadView p = payloads.view(i);
    a.payloads.push(p.total_count, p.video_ids, p.video_counts);
  }
  a.video_uuids = copy_of(view_.video_uuids);
  a.video_int_ids = copy_of(view_.video_int_ids);
  a.id_mode = view_.id_mode;
  a.is_terminal.assign(view_.is_terminal.begin(), view_.is_terminal.end());
  return a;
}

TrieArrays Trie::release() && {
  if (owned_ != nullptr && owner_.use_count() == 1) {
    TrieArrays arrays = std::move(*owned_);
    owner_.reset();
    owned_ = nullptr;
    view_ = {};
    return arrays;
  }
  return to_arrays();
}

ChildRange Trie::children(std::size_t node) const {
  const NodeShifts& shifts = node_shifts();
  if (node >= shifts.size()) fail_out_of_range("node_shifts", node, shifts.size());
  const std::size_t begin = shifts[node];
  const std::size_t end =
      node + 1 < shifts.size() ? shifts[node + 1] : view_.child_transitions.size();
  return end > begin ? ChildRange{begin, end} : ChildRange{begin, begin};
}

bool TrieArrays::reads_in_bounds() const {
  return !find_fault(view(), Trust::kInBounds).has_value();
}

std::size_t Trie::memory_bytes() const {
  std::size_t bytes = borrowed_bytes_ + derived_.memory_bytes();
  if (owned_ != nullptr) {
    const TrieArrays& a = *owned_;
    bytes += a.node_shifts.capacity() * 4 + a.child_labels.capacity() * 4 +
             a.child_transitions.capacity() * 4 + a.payloads.memory_bytes() +
             a.video_uuids.capacity() * 16 + a.video_int_ids.capacity() * 4 +
             a.is_terminal.capacity();
  }
  return bytes;
}

}  // namespace tessarin
