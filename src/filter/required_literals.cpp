#include "filter/required_literals.h"

#include <regex.h>

#include <algorithm>
#include <utility>

namespace {

// Bounds that keep the analysis small. Going past one only weakens the result, never makes it
// wrong: a set that grows too large is replaced by what every one of its strings implies.
constexpr size_t kMaxExact = 16;           // strings of one exact set
constexpr size_t kMaxClauses = 4;          // clauses kept for one part
constexpr size_t kMaxClauseLiterals = 16;  // literals of one clause made by alternation
constexpr size_t kMaxBracketChars = 8;     // bracket members kept as an exact set
constexpr int kMaxDepth = 64;              // nested groups; deeper expressions are not analysed
constexpr int kMaxCount = 1 << 20;         // interval bounds are capped while they are read

using Clause = std::vector<std::string>;  // the text contains one of these
using Cnf = std::vector<Clause>;          // all of these clauses hold; empty: nothing known

// What is known of the texts that one part of an expression matches: either every string it can
// match (exact), or clauses that each of those strings satisfies.
struct Info {
  bool exact = true;
  std::vector<std::string> strings;
  Cnf cnf;
};

Info exactly(std::string s) {
  Info info;
  info.strings.push_back(std::move(s));
  return info;
}

Info unknown() {
  Info info;
  info.exact = false;
  return info;
}

char fold(unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

void sortUnique(std::vector<std::string>& strings) {
  std::sort(strings.begin(), strings.end());
  strings.erase(std::unique(strings.begin(), strings.end()), strings.end());
}

// A literal that contains another literal of the same clause adds nothing: drop it.
void simplify(Clause& clause) {
  sortUnique(clause);
  Clause kept;
  for (const std::string& literal : clause) {
    const bool redundant = std::any_of(clause.begin(), clause.end(), [&](const std::string& other) {
      return other != literal && literal.find(other) != std::string::npos;
    });
    if (!redundant) kept.push_back(literal);
  }
  clause = std::move(kept);
}

size_t shortest(const Clause& clause) {
  size_t n = SIZE_MAX;
  for (const std::string& literal : clause) n = std::min(n, literal.size());
  return n;
}

// The clause that rules out more texts comes first: long literals, and few of them.
bool better(const Clause& a, const Clause& b) {
  if (shortest(a) != shortest(b)) return shortest(a) > shortest(b);
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

void keepBest(Cnf& cnf) {
  std::sort(cnf.begin(), cnf.end(), better);
  cnf.erase(std::unique(cnf.begin(), cnf.end()), cnf.end());
  if (cnf.size() > kMaxClauses) cnf.resize(kMaxClauses);
}

Cnf required(const Info& info) {
  if (!info.exact) return info.cnf;
  for (const std::string& s : info.strings) {
    if (s.empty()) return {};
  }
  Clause clause = info.strings;
  simplify(clause);
  return {clause};
}

Cnf both(Cnf a, const Cnf& b) {
  a.insert(a.end(), b.begin(), b.end());
  keepBest(a);
  return a;
}

// a or b: each clause of a joined with each clause of b (or only the best of each, when that
// would be too many).
Cnf either(const Cnf& a, const Cnf& b) {
  if (a.empty() || b.empty()) return {};
  Cnf out;
  const auto join = [&out](const Clause& x, const Clause& y) {
    Clause clause = x;
    clause.insert(clause.end(), y.begin(), y.end());
    simplify(clause);
    if (clause.size() <= kMaxClauseLiterals) out.push_back(std::move(clause));
  };
  if (a.size() * b.size() <= kMaxClauses) {
    for (const Clause& x : a) {
      for (const Clause& y : b) join(x, y);
    }
  } else {
    join(*std::min_element(a.begin(), a.end(), better), *std::min_element(b.begin(), b.end(), better));
  }
  keepBest(out);
  return out;
}

std::vector<std::string> product(const std::vector<std::string>& a,
                                 const std::vector<std::string>& b) {
  std::vector<std::string> out;
  out.reserve(a.size() * b.size());
  for (const std::string& x : a) {
    for (const std::string& y : b) out.push_back(x + y);
  }
  sortUnique(out);
  return out;
}

Info alternate(const Info& a, const Info& b) {
  if (a.exact && b.exact) {
    Info info;
    info.strings = a.strings;
    info.strings.insert(info.strings.end(), b.strings.begin(), b.strings.end());
    sortUnique(info.strings);
    if (info.strings.size() <= kMaxExact) return info;
  }
  Info info = unknown();
  info.cnf = either(required(a), required(b));
  return info;
}

// From min to max copies of the part (max < 0: no limit). Zero or one copy of an exact part is
// exact; with at least one copy each match contains a match of the part.
Info repeat(const Info& part, int min, int max) {
  if (min == 0 && max == 1 && part.exact && part.strings.size() < kMaxExact) {
    Info info = part;
    info.strings.emplace_back();
    sortUnique(info.strings);
    return info;
  }
  Info info = unknown();
  if (min > 0) info.cnf = required(part);
  return info;
}

enum class Kind {
  kEnd,
  kUnknown,
  kChar,
  kAnyChar,
  kBracket,
  kOpen,
  kClose,
  kAlt,
  kStar,
  kPlus,
  kQuestion,
  kOpenInterval,
  kCloseInterval,
  kCaret,   // "^" as an anchor
  kAnchor,  // any other zero-width assertion
  kBackRef,
};

struct Token {
  Kind kind;
  unsigned char c = 0;
  size_t length = 1;
};

bool isRepetition(Kind kind) {
  return kind == Kind::kStar || kind == Kind::kPlus || kind == Kind::kQuestion ||
         kind == Kind::kOpenInterval;
}

// A recursive-descent reading of one expression in the syntax the C library's regcomp gives it
// (basic or extended, with its GNU operators), computing what every match contains. Each step
// that meets something it is not sure of fails, and the whole expression is then not analysed.
class Analysis {
 public:
  Analysis(std::string_view text, int cflags)
      : text_(text.substr(0, text.find('\0'))),
        extended_((cflags & REG_EXTENDED) != 0),
        icase_((cflags & REG_ICASE) != 0) {}

  std::optional<std::vector<LiteralClause>> run() {
    Info info;
    std::optional<std::vector<std::string>> prefixes;
    if (!regexp(0, info, &prefixes) || peek().kind != Kind::kEnd) return std::nullopt;

    std::vector<LiteralClause> clauses;
    const bool anchored =
        prefixes && !prefixes->empty() && prefixes->size() <= kMaxClauseLiterals &&
        std::none_of(prefixes->begin(), prefixes->end(),
                     [](const std::string& p) { return p.empty(); });
    if (anchored) clauses.push_back({*prefixes, true});
    for (Clause& clause : required(info)) {
      if (anchored && impliedByPrefixes(clause, *prefixes)) continue;
      clauses.push_back({std::move(clause), false});
    }
    return clauses;
  }

 private:
  // A text that begins with one of the prefixes contains a literal of the clause anyway.
  static bool impliedByPrefixes(const Clause& clause, const std::vector<std::string>& prefixes) {
    return std::all_of(prefixes.begin(), prefixes.end(), [&](const std::string& prefix) {
      return std::any_of(clause.begin(), clause.end(), [&](const std::string& literal) {
        return prefix.find(literal) != std::string::npos;
      });
    });
  }

  Token peek() const {
    if (pos_ >= text_.size()) return {Kind::kEnd, 0, 0};
    const unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '\\') {
      if (pos_ + 1 >= text_.size()) return {Kind::kUnknown};
      const unsigned char d = static_cast<unsigned char>(text_[pos_ + 1]);
      Token t{Kind::kChar, d, 2};
      switch (d) {
        case '|': if (!extended_) t.kind = Kind::kAlt; break;
        case '(': if (!extended_) t.kind = Kind::kOpen; break;
        case ')': if (!extended_) t.kind = Kind::kClose; break;
        case '+': if (!extended_) t.kind = Kind::kPlus; break;
        case '?': if (!extended_) t.kind = Kind::kQuestion; break;
        case '{': if (!extended_) t.kind = Kind::kOpenInterval; break;
        case '}': if (!extended_) t.kind = Kind::kCloseInterval; break;
        case '<': case '>': case 'b': case 'B': case '`': case '\'':
          t.kind = Kind::kAnchor;
          break;
        case 'w': case 'W': case 's': case 'S':
          t.kind = Kind::kAnyChar;
          break;
        default:
          if (d >= '1' && d <= '9') t.kind = Kind::kBackRef;
          break;
      }
      return t;
    }
    Token t{Kind::kChar, c, 1};
    switch (c) {
      case '|': if (extended_) t.kind = Kind::kAlt; break;
      case '(': if (extended_) t.kind = Kind::kOpen; break;
      case ')': if (extended_) t.kind = Kind::kClose; break;
      case '+': if (extended_) t.kind = Kind::kPlus; break;
      case '?': if (extended_) t.kind = Kind::kQuestion; break;
      case '{': if (extended_) t.kind = Kind::kOpenInterval; break;
      case '}': if (extended_) t.kind = Kind::kCloseInterval; break;
      case '*': t.kind = Kind::kStar; break;
      case '[': t.kind = Kind::kBracket; break;
      case '.': t.kind = Kind::kAnyChar; break;
      case '^':
        // In basic syntax only at the start of the expression, a group or an alternative.
        if (extended_ || branch_start_) t.kind = Kind::kCaret;
        break;
      case '$':
        // In basic syntax only at the end of the expression, a group or an alternative.
        if (extended_ || endsBranch(pos_ + 1)) t.kind = Kind::kAnchor;
        break;
      default:
        break;
    }
    return t;
  }

  bool endsBranch(size_t at) const {
    if (at >= text_.size()) return true;
    return text_[at] == '\\' && at + 1 < text_.size() &&
           (text_[at + 1] == '|' || text_[at + 1] == ')');
  }

  void take(const Token& t) {
    pos_ += t.length;
    branch_start_ = t.kind == Kind::kOpen || t.kind == Kind::kAlt;
  }

  // Alternatives; prefixes receives, when every alternative begins with "^" followed by known
  // strings, the strings that a matched text begins with.
  bool regexp(int depth, Info& out, std::optional<std::vector<std::string>>* prefixes) {
    std::optional<std::vector<std::string>> own;
    if (!branch(depth, out, &own)) return false;
    while (peek().kind == Kind::kAlt) {
      take(peek());
      Info next;
      std::optional<std::vector<std::string>> next_prefixes;
      if (!branch(depth, next, &next_prefixes)) return false;
      out = alternate(out, next);
      if (own && next_prefixes) {
        own->insert(own->end(), next_prefixes->begin(), next_prefixes->end());
        sortUnique(*own);
      } else {
        own.reset();
      }
    }
    if (prefixes != nullptr) *prefixes = std::move(own);
    return true;
  }

  // A sequence of atoms. Consecutive exact atoms are joined into one exact tail, so that a
  // literal after ".*" stays one literal; whatever the tail cannot hold goes into clauses.
  bool branch(int depth, Info& out, std::optional<std::vector<std::string>>* prefixes) {
    Cnf done;
    std::vector<std::string> tail{""};
    bool exact = true;
    bool first = true;
    bool anchored = false;
    bool prefix_open = true;
    std::vector<std::string> prefix{""};
    const auto flushTail = [&](std::vector<std::string> next) {
      Info finished;
      finished.strings = std::move(tail);
      done = both(std::move(done), required(finished));
      tail = std::move(next);
      exact = false;
    };
    for (;;) {
      const Kind kind = peek().kind;
      if (kind == Kind::kEnd || kind == Kind::kAlt || (kind == Kind::kClose && depth > 0)) break;
      Info item;
      bool caret = false;
      if (!expression(depth, item, caret)) return false;
      if (first && caret) {
        anchored = true;
      } else if (anchored && prefix_open) {
        if (item.exact && prefix.size() * item.strings.size() <= kMaxExact) {
          prefix = product(prefix, item.strings);
        } else {
          prefix_open = false;
        }
      }
      first = false;
      if (!item.exact) {
        flushTail({""});
        done = both(std::move(done), item.cnf);
      } else if (tail.size() * item.strings.size() <= kMaxExact) {
        tail = product(tail, item.strings);
      } else {
        flushTail(item.strings);
      }
    }
    if (exact) {
      out = Info{};
      out.strings = std::move(tail);
    } else {
      flushTail({""});
      out = unknown();
      out.cnf = std::move(done);
    }
    if (anchored) *prefixes = std::move(prefix);
    return true;
  }

  // One atom and its repetitions. caret tells the caller that the atom was the "^" anchor.
  bool expression(int depth, Info& out, bool& caret) {
    const Token t = peek();
    switch (t.kind) {
      case Kind::kChar:
        take(t);
        out = literal(t.c);
        if (out.exact) out.strings.front() += plainRun();
        break;
      case Kind::kCloseInterval:  // a closing brace with no interval is an ordinary character
        take(t);
        out = literal('}');
        break;
      case Kind::kAnyChar:
        take(t);
        out = unknown();
        break;
      case Kind::kBracket:
        if (!bracket(out)) return false;
        break;
      case Kind::kOpen: {
        if (depth >= kMaxDepth) return false;
        take(t);
        if (!regexp(depth + 1, out, nullptr)) return false;
        const Token close = peek();
        if (close.kind != Kind::kClose) return false;
        take(close);
        break;
      }
      case Kind::kCaret:
      case Kind::kAnchor:
        // The library reads an operator after an anchor differently in each syntax.
        take(t);
        if (isRepetition(peek().kind)) return false;
        caret = t.kind == Kind::kCaret;
        out = exactly("");
        return true;
      default:
        // Back-references, an operator with nothing to repeat, an unmatched parenthesis.
        return false;
    }
    for (Token r = peek(); isRepetition(r.kind); r = peek()) {
      take(r);
      int min = r.kind == Kind::kPlus ? 1 : 0;
      int max = r.kind == Kind::kQuestion ? 1 : -1;
      if (r.kind == Kind::kOpenInterval && !interval(min, max)) return false;
      out = repeat(out, min, max);
    }
    return true;
  }

  // The folded characters that follow as plain literals, but not one that a repetition applies
  // to: a whole word at once instead of one character at a time.
  std::string plainRun() {
    std::string run;
    for (;;) {
      const Token t = peek();
      if (t.kind != Kind::kChar || (icase_ && t.c >= 0x80)) break;
      const size_t before = pos_;
      take(t);
      if (isRepetition(peek().kind)) {
        pos_ = before;
        break;
      }
      run += fold(t.c);
    }
    return run;
  }

  // "{m}", "{m,}", "{m,n}" or "{,n}" after the opening brace; max is -1 for no limit.
  bool interval(int& min, int& max) {
    const auto number = [this](int& value) {
      value = -1;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
        value = std::min(kMaxCount, (value < 0 ? 0 : value * 10) + (text_[pos_] - '0'));
        ++pos_;
      }
    };
    number(min);
    if (pos_ < text_.size() && text_[pos_] == ',') {
      ++pos_;
      number(max);
      if (min < 0) min = 0;
    } else {
      if (min < 0) return false;
      max = min;
    }
    const Token close = peek();
    if (close.kind != Kind::kCloseInterval) return false;
    take(close);
    return max < 0 || min <= max;
  }

  // A bracket expression: one character. Small lists of plain characters are kept as an exact
  // set; ranges, classes and negated lists are only known to take one character. Collating
  // elements and equivalence classes are not analysed.
  bool bracket(Info& out) {
    size_t p = pos_ + 1;
    const bool negated = p < text_.size() && text_[p] == '^';
    if (negated) ++p;
    std::string members;
    bool plain = !negated;
    for (bool first = true;; first = false) {
      if (p >= text_.size()) return false;
      const char c = text_[p];
      if (c == ']' && !first) break;
      if (c == '[' && p + 1 < text_.size()) {
        const char d = text_[p + 1];
        if (d == '.' || d == '=') return false;
        if (d == ':') {
          const size_t close = text_.find(":]", p + 2);
          if (close == std::string_view::npos) return false;
          plain = false;
          p = close + 2;
          continue;
        }
      }
      members += c;
      ++p;
    }
    pos_ = p + 1;
    branch_start_ = false;
    // A '-' anywhere but first or last makes a range.
    for (size_t i = 1; i + 1 < members.size(); ++i) {
      if (members[i] == '-') plain = false;
    }
    std::vector<std::string> chars;
    for (const char c : members) {
      if (icase_ && static_cast<unsigned char>(c) >= 0x80) plain = false;
      chars.emplace_back(1, fold(static_cast<unsigned char>(c)));
    }
    sortUnique(chars);
    if (!plain || chars.size() > kMaxBracketChars) {
      out = unknown();
    } else {
      out = Info{};
      out.strings = std::move(chars);
    }
    return true;
  }

  // Case folding beyond ASCII is left to the library: such a character is not used as a literal
  // of a case-insensitive expression.
  Info literal(unsigned char c) const {
    if (icase_ && c >= 0x80) return unknown();
    return exactly(std::string(1, fold(c)));
  }

  std::string_view text_;
  bool extended_;
  bool icase_;
  size_t pos_ = 0;
  bool branch_start_ = true;
};

}  // namespace

std::optional<std::vector<LiteralClause>> requiredLiterals(std::string_view expression,
                                                           int cflags) {
  return Analysis(expression, cflags).run();
}
