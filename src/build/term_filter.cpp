#include "build/term_filter.h"

#include <algorithm>

#include "util/utf8.h"

namespace tessarin::builder {

TermFilter::TermFilter(const std::vector<std::string>& terms,
                       const std::vector<std::string>& patterns)
    : terms_(terms.begin(), terms.end()) {
  patterns_.reserve(patterns.size());
  for (const std::string& pattern : patterns) patterns_.push_back(parse(pattern));
}

TermFilter::Pattern TermFilter::parse(std::string_view text) {
  std::u32string p;
  decode_utf8(text, p);
  Pattern out;
  const std::size_t n = p.size();
  for (std::size_t i = 0; i < n;) {
    Token token;
    const char32_t c = p[i++];
    if (c == U'*') {
      token.kind = Token::Kind::kStar;
      if (out.empty() || out.back().kind != Token::Kind::kStar) out.push_back(std::move(token));
      continue;
    }
    if (c == U'?') {
      token.kind = Token::Kind::kAny;
      out.push_back(std::move(token));
      continue;
    }
    if (c == U'[') {
      // The set runs to the next `]`, one right after `[` or `[!` being
      // part of it; without a closing `]`, the `[` is itself.
      std::size_t j = i;
      const bool negated = j < n && p[j] == U'!';
      if (negated) ++j;
      if (j < n && p[j] == U']') ++j;
      while (j < n && p[j] != U']') ++j;
      if (j < n) {
        token.kind = Token::Kind::kSet;
        token.negated = negated;
        // Items left to right: a character, or a range when a `-` and a
        // character follow it (a `-` first or last is itself).
        for (std::size_t k = negated ? i + 1 : i; k < j;) {
          const char32_t low = p[k];
          if (k + 2 < j && p[k + 1] == U'-') {
            if (low <= p[k + 2]) token.ranges.emplace_back(low, p[k + 2]);
            k += 3;
          } else {
            token.ranges.emplace_back(low, low);
            k += 1;
          }
        }
        out.push_back(std::move(token));
        i = j + 1;
        continue;
      }
    }
    token.c = c;
    out.push_back(std::move(token));
  }
  return out;
}

bool TermFilter::match(const Pattern& pattern, const std::u32string& term) {
  const auto fits = [](const Token& token, char32_t c) {
    switch (token.kind) {
      case Token::Kind::kChar:
        return token.c == c;
      case Token::Kind::kAny:
        return true;
      case Token::Kind::kSet: {
        const bool in = std::any_of(token.ranges.begin(), token.ranges.end(),
                                    [c](const auto& r) { return r.first <= c && c <= r.second; });
        return in != token.negated;
      }
      case Token::Kind::kStar:
        break;
    }
    return false;
  };
  // The greedy walk: on a mismatch, the last `*` takes one more character
  // and the walk resumes after it. Backing up to earlier stars is never
  // needed: what they would take the last one can take.
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = pattern.size();  // none yet
  std::size_t resume = 0;
  while (t < term.size()) {
    if (p < pattern.size() && pattern[p].kind == Token::Kind::kStar) {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && fits(pattern[p], term[t])) {
      ++p;
      ++t;
    } else if (star < pattern.size()) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p].kind == Token::Kind::kStar) ++p;
  return p == pattern.size();
}

bool TermFilter::excludes(std::string_view term) const {
  if (terms_.find(term) != terms_.end()) return true;
  if (patterns_.empty()) return false;
  std::u32string decoded;
  decode_utf8(term, decoded);
  return std::any_of(patterns_.begin(), patterns_.end(),
                     [&](const Pattern& pattern) { return match(pattern, decoded); });
}

bool TermFilter::matches(std::string_view pattern, std::string_view term) {
  std::u32string decoded;
  decode_utf8(term, decoded);
  return match(parse(pattern), decoded);
}

}  // namespace tessarin::builder
