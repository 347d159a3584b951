#include <algorithm>
#include <string>

#include "rules/posix_translator.h"

// Reading a POSIX expression as the C library does: one token at a time, bracket expressions
// whole.
namespace posix {

Translator::Token Translator::peek(bool caret_here) const {
  const size_t n = s_.size();
  if (pos_ >= n) return {kEnd, 0, pos_};
  const unsigned char c = static_cast<unsigned char>(s_[pos_]);
  const size_t next = pos_ + 1;
  if (c == '\\') {
    if (next >= n) throw Unsupported{"a trailing backslash"};
    const unsigned char d = static_cast<unsigned char>(s_[next]);
    const size_t after = pos_ + 2;
    if (!extended_) {
      switch (d) {
        case '(':
          return {kOpen, 0, after};
        case ')':
          return {kClose, 0, after};
        case '|':
          return {kAlt, 0, after};
        case '{':
          return {kInterval, 0, after};
        case '+':
          return {kPlus, '+', after};
        case '?':
          return {kQuestion, '?', after};
        default:
          break;
      }
    }
    if (d >= '1' && d <= '9') return {kBackref, d - '0', after};
    switch (d) {
      case 'w':
        return {kWord, 0, after};
      case 'W':
        return {kNotWord, 0, after};
      case 's':
        return {kSpace, 0, after};
      case 'S':
        return {kNotSpace, 0, after};
      case 'b':
        return {kBoundary, 0, after};
      case 'B':
        return {kNotBoundary, 0, after};
      case '<':
        return {kWordStart, 0, after};
      case '>':
        return {kWordEnd, 0, after};
      case '`':
        return {kTextBegin, 0, after};
      case '\'':
        return {kTextEnd, 0, after};
      default:
        return {kChar, d, after};  // escaped: its case is kept
    }
  }
  switch (c) {
    case '.':
      return {kAny, 0, next};
    case '[':
      return {kBracket, 0, next};
    case '*':
      return {kStar, '*', next};
    default:
      break;
  }
  if (extended_) {
    switch (c) {
      case '(':
        return {kOpen, 0, next};
      case ')':
        return open_.empty() ? Token{kChar, ')', next} : Token{kClose, 0, next};
      case '|':
        return {kAlt, 0, next};
      case '{':
        return {kInterval, 0, next};
      case '+':
        return {kPlus, '+', next};
      case '?':
        return {kQuestion, '?', next};
      case '^':
        return {kBegin, 0, next};
      case '$':
        return {kEndAnchor, 0, next};
      default:
        break;
    }
  } else {
    if (c == '^' && (pos_ == 0 || caret_here)) return {kBegin, 0, next};
    if (c == '$') {
      const bool last = next == n;
      const bool before_close =
          next + 1 < n && s_[next] == '\\' && (s_[next + 1] == ')' || s_[next + 1] == '|');
      if (last || before_close) return {kEndAnchor, 0, next};
    }
  }
  return {kChar, upper(c, icase_), next};
}

// From just after "[" to just after the closing "]".
ByteSet Translator::bracket() {
  const size_t start = pos_ - 1;
  const size_t n = s_.size();
  bool negated = false;
  if (pos_ < n && s_[pos_] == '^') {
    negated = true;
    ++pos_;
  }
  struct Element {
    enum { kByte, kClass, kSymbol } kind;
    int byte = 0;
    std::string name;
  };
  auto element = [&](bool accept_hyphen) {
    if (pos_ >= n) throw Unsupported{"an unclosed bracket expression"};
    const char c = s_[pos_];
    if (c == '[' && pos_ + 1 < n &&
        (s_[pos_ + 1] == ':' || s_[pos_ + 1] == '.' || s_[pos_ + 1] == '=')) {
      const char delimiter = s_[pos_ + 1];
      size_t k = pos_ + 2;
      while (k + 1 < n && !(s_[k] == delimiter && s_[k + 1] == ']')) ++k;
      if (k + 1 >= n) throw Unsupported{"an unclosed bracket expression"};
      Element element{delimiter == ':' ? Element::kClass : Element::kSymbol, 0,
                      s_.substr(pos_ + 2, k - pos_ - 2)};
      pos_ = k + 2;
      return element;
    }
    if (c == '-' && !accept_hyphen && !(pos_ + 1 < n && s_[pos_ + 1] == ']')) {
      throw Unsupported{"a hyphen out of place in a bracket expression"};
    }
    ++pos_;
    return Element{Element::kByte, upper(static_cast<unsigned char>(c), icase_), {}};
  };

  ByteSet members;
  bool probe = false;
  for (bool first = true;; first = false) {
    if (pos_ >= n) throw Unsupported{"an unclosed bracket expression"};
    if (s_[pos_] == ']' && !first) {
      ++pos_;
      break;
    }
    const Element from = element(first);
    if (from.kind == Element::kClass) {
      const auto set = classSet(from.name, icase_);
      if (!set) throw Unsupported{"an unknown character class"};
      members |= *set;
      continue;
    }
    if (pos_ + 1 < n && s_[pos_] == '-' && s_[pos_ + 1] != ']') {
      ++pos_;
      const Element to = element(true);
      if (to.kind == Element::kClass) throw Unsupported{"a range ending in a class"};
      if (from.kind == Element::kSymbol || to.kind == Element::kSymbol) {
        probe = true;
        continue;
      }
      if (from.byte > to.byte) throw Unsupported{"a reversed range"};
      for (int b = from.byte; b <= to.byte; ++b) members.set(b);
    } else if (from.kind == Element::kSymbol) {
      probe = true;
    } else {
      members.set(from.byte);
    }
  }
  if (probe) return probedBracket(s_.substr(start, pos_ - start), icase_);
  // Byte t is in the set when members holds t upper-cased (as the elements were), unless negated.
  ByteSet set = members;
  if (icase_) {
    for (int t = 'a'; t <= 'z'; ++t) set[t] = members[t - 'a' + 'A'];
  }
  if (negated) set.flip();
  set.reset(0);
  return set;
}

// The longest run of repetition operators applied one after another ("a*?++"), outside bracket
// expressions. Read coarsely: it only has to find runs no sensible rule has.
int stackedRepetitions(std::string_view s, bool extended) {
  int longest = 0, run = 0;
  for (size_t i = 0; i < s.size() && s[i] != '\0'; ++i) {
    const char c = s[i];
    bool repetition = false;
    if (c == '[') {
      const size_t close = bracketExpressionEnd(s, i);
      i = close == std::string_view::npos ? s.size() : close;
    } else if (c == '\\' && i + 1 < s.size()) {
      const char e = s[++i];
      repetition = !extended && (e == '+' || e == '?' || e == '{');
    } else {
      repetition = c == '*' || (extended && (c == '+' || c == '?' || c == '{'));
    }
    run = repetition ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

}  // namespace posix

size_t bracketExpressionEnd(std::string_view s, size_t open) {
  size_t j = open + 1;
  if (j < s.size() && s[j] == '^') ++j;
  if (j < s.size() && s[j] == ']') ++j;
  while (j < s.size() && s[j] != ']') {
    if (s[j] == '[' && j + 1 < s.size() &&
        (s[j + 1] == ':' || s[j + 1] == '.' || s[j + 1] == '=')) {
      const size_t close = s.find(std::string{s[j + 1], ']'}, j + 2);
      if (close == std::string_view::npos) return std::string_view::npos;
      j = close + 2;
    } else {
      ++j;
    }
  }
  return j < s.size() ? j : std::string_view::npos;
}
