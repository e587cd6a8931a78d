// A half-open range of positions in child_transitions (index/trie.h).
#pragma once

#include <cstddef>

namespace tessarin {

struct ChildRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

}  // namespace tessarin
