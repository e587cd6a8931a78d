// Which edits a query's distance counts.
#pragma once

namespace tessarin {

enum class Distance : unsigned char {
  kLevenshtein,  // insertions, deletions and substitutions (prefix/matcher.h)
  kOsa,          // those, and swaps of neighbours: optimal string alignment (prefix/osa_walk.h)
};

}  // namespace tessarin
