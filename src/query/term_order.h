// The order of terms offered to a user (suggestions, completions, the
// pooled terms of a search): closest first, then most searched, then by
// term (UTF-8 bytes, which is code point order), then by node, so that the
// order is total and the same on every run.
//
// Works on any entry with `distance`, `count`, `term` and `node` members.
#pragma once

namespace tessarin {

template <class Entry>
bool closest_first(const Entry& a, const Entry& b) {
  if (a.distance != b.distance) return a.distance < b.distance;
  if (a.count != b.count) return a.count > b.count;
  if (a.term != b.term) return a.term < b.term;
  return a.node < b.node;
}

}  // namespace tessarin
