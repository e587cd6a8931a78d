// Which edits a query's distance counts, as callers name it at run time. The
// walks take the edit set as a type (Levenshtein, search/rows.h;
// Transpositions, search/transpositions.h, which maps this enum to them).
#pragma once

namespace tessarin {

enum class Distance : unsigned char {
  kLevenshtein,  // insertions, deletions and substitutions
  kOsa,          // those, and swaps of neighbours: optimal string alignment
};

}  // namespace tessarin
