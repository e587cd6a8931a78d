// The order of terms offered to a user (suggestions, completions, the
// pooled terms of a search): closest first, then most searched, then by
// term (UTF-8 bytes, which is code point order), then by node, so that the
// order is total and the same on every run.
//
// Works on any entry with `distance`, `count`, `term` and `node` members.
// keep_closest costs O(n log limit) comparisons.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

namespace tessarin {

template <class Entry>
bool closest_first(const Entry& a, const Entry& b) {
  if (a.distance != b.distance) return a.distance < b.distance;
  if (a.count != b.count) return a.count > b.count;
  if (a.term != b.term) return a.term < b.term;
  return a.node < b.node;
}

// Orders `found` and keeps its first `limit` entries (all when unset).
template <class Entry>
void keep_closest(std::vector<Entry>& found, std::optional<std::size_t> limit) {
  if (limit && *limit < found.size()) {
    const auto cut = found.begin() + static_cast<std::ptrdiff_t>(*limit);
    std::partial_sort(found.begin(), cut, found.end(), closest_first<Entry>);
    found.erase(cut, found.end());
  } else {
    std::sort(found.begin(), found.end(), closest_first<Entry>);
  }
}

}  // namespace tessarin
