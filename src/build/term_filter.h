// TermFilter: the terms kept out of an index, as exact terms and glob
// patterns.
//
// A pattern is matched against a whole term, character by character (code
// points, not bytes), as Python's fnmatch.fnmatchcase matches one: `*` any
// run of characters (none included), `?` one character, `[abc]` one of a
// set, `[a-z]` one in a range, `[!...]` one outside the set; `]` first in
// a set and `-` first or last in it are themselves; a range whose ends are
// reversed holds nothing; a `[` without its `]` is itself. There is no
// escape character: `[*]`, `[?]` and `[[]` match the character itself.
//
// Invariants: the terms and patterns are valid UTF-8 (the caller's check).
// Cost: an exact term is one hash lookup; a pattern is matched by the
// usual greedy walk that backs up to the last `*` only, O(term x pattern)
// at worst and about O(term) in practice, once per pattern. The filter is
// meant to be asked once per distinct term.
// Thread safety: const methods may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tessarin::builder {

class TermFilter {
 public:
  TermFilter() = default;
  TermFilter(const std::vector<std::string>& terms, const std::vector<std::string>& patterns);

  // Whether `term` (valid UTF-8) is one of the terms or matches a pattern.
  [[nodiscard]] bool excludes(std::string_view term) const;
  [[nodiscard]] bool empty() const { return terms_.empty() && patterns_.empty(); }

  // Whether `term` matches `pattern` (both valid UTF-8): the rule above.
  [[nodiscard]] static bool matches(std::string_view pattern, std::string_view term);

 private:
  // One step of a pattern: a character, `?`, `*`, or a set of ranges.
  struct Token {
    enum class Kind : unsigned char { kChar, kAny, kStar, kSet } kind = Kind::kChar;
    char32_t c = 0;
    bool negated = false;
    std::vector<std::pair<char32_t, char32_t>> ranges;  // kSet: inclusive
  };
  using Pattern = std::vector<Token>;

  [[nodiscard]] static Pattern parse(std::string_view pattern);
  [[nodiscard]] static bool match(const Pattern& pattern, const std::u32string& term);

  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::unordered_set<std::string, Hash, std::equal_to<>> terms_;
  std::vector<Pattern> patterns_;
};

}  // namespace tessarin::builder
