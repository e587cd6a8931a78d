// Which edits a query's distance counts.
#pragma once

namespace tessarin {

enum class Distance : unsigned char {
  kLevenshtein,  // insertions, deletions and substitutions (search/matcher.h)
  kOsa,          // those, and swaps of neighbours: optimal string alignment (search/osa_walk.h)
};

}  // namespace tessarin
