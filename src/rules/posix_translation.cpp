#include "rules/posix_translation.h"

#include <regex.h>

#include <bitset>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>
#include <vector>

// How the C library reads an expression, in the C locale, as far as this file relies on it:
// - With REG_ICASE the expression is upper-cased before it is read (escaped characters and class
//   names excepted) and so is the text; only a-z change. So "\a" matches nothing, "[a-Z]" is
//   A-Z, "[0-z]" misses "_", and bytes above 127 never fold.
// - Basic syntax: "^" is an anchor only first in the expression, a group or an alternative; "$"
//   only last or before "\)" or "\|"; "*" (and "\+", "\?") first in an expression, a group, an
//   alternative or after an anchor is an ordinary character. "\+", "\?", "\|" are operators.
// - Extended syntax: "^" and "$" are anchors anywhere; an unmatched ")" is ordinary.
// - Stacked repetitions apply in turn ("a{2}{3}" is six a's); "{,n}" is "{0,n}".
// - Bracket expressions: "]" first is ordinary, a backslash is ordinary, ranges go by byte value.
// - "\w" is [_[:alnum:]], "\s" is [[:space:]] (vertical tab included), "\b" "\B" "\<" "\>" are
//   ASCII word boundaries, "\`" and "\'" the ends of the text; any other escaped character is
//   itself. Without REG_NEWLINE "." and negated lists match a line end.
// - Although REG_NEWLINE is never given, a "^" met after the match has taken a line end, and a
//   "$" met before it takes one, hold there; "^" first and "$" last in the match hold only at
//   the ends of the text. Anchors of the first kind are left to the C library.
namespace {

using ByteSet = std::bitset<256>;

// The engine refuses counts above this.
constexpr long kEngineMaxRepeat = 1000;
// Deeper nesting is refused before the C library's recursive reader sees it.
constexpr int kMaxDepth = 200;

struct Unsupported {
  std::string reason;
};

int upper(int c, bool icase) {
  return icase && c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

ByteSet setOf(int (*is)(int)) {
  ByteSet set;
  for (int b = 1; b < 256; ++b) set[b] = is(b) != 0;
  return set;
}

ByteSet wordSet() {
  ByteSet set = setOf(isalnum);
  set.set('_');
  return set;
}

ByteSet allBytes() {
  ByteSet set;
  set.set();
  set.reset(0);
  return set;
}

// The bytes t with T(t) == v, T upper-casing when case is ignored: no byte upper-cases to a
// lower-case letter, an upper-case letter comes from itself and its lower case.
ByteSet literalSet(int v, bool icase) {
  ByteSet set;
  if (v == 0 || (icase && v >= 'a' && v <= 'z')) return set;
  set.set(static_cast<size_t>(v));
  if (icase && v >= 'A' && v <= 'Z') set.set(static_cast<size_t>(v - 'A' + 'a'));
  return set;
}

std::optional<ByteSet> classSet(const std::string& name, bool icase) {
  static const std::pair<const char*, int (*)(int)> kClasses[] = {
      {"alpha", isalpha},   {"upper", isupper}, {"lower", islower}, {"digit", isdigit},
      {"xdigit", isxdigit}, {"space", isspace}, {"print", isprint}, {"punct", ispunct},
      {"graph", isgraph},   {"cntrl", iscntrl}, {"blank", isblank}, {"alnum", isalnum}};
  const std::string looked_up = icase && (name == "upper" || name == "lower") ? "alpha" : name;
  for (const auto& [known, is] : kClasses) {
    if (looked_up == known) return setOf(is);
  }
  return std::nullopt;
}

std::string byteText(int b) {
  if (b < 128 && std::isalnum(b)) return std::string(1, static_cast<char>(b));
  static const char kHex[] = "0123456789abcdef";
  return {'\\', 'x', '{', kHex[(b >> 4) & 15], kHex[b & 15], '}'};
}

// A count kept as a double (it may exceed any integer type), as a whole number.
std::string countText(double count) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", count);
  return text;
}

const char kNever[] = "(?:\\b\\B)";

std::string setText(ByteSet set) {
  static const ByteSet kAll = allBytes();
  set.reset(0);
  // Most sets are one byte or a letter in both cases: those skip the general walk below.
  const size_t first = set._Find_first();
  if (first >= 256) return kNever;
  const size_t second = set._Find_next(first);
  if (second >= 256) return byteText(static_cast<int>(first));
  if (first >= 'A' && first <= 'Z' && second == first - 'A' + 'a' &&
      set._Find_next(second) >= 256) {
    return {'[', static_cast<char>(first), static_cast<char>(second), ']'};
  }
  if (set == kAll) return "(?s:.)";
  std::string text = "[";
  size_t members = 0;
  // Visits the members only: most sets are one or two bytes.
  for (size_t b = set._Find_first(); b < 256; b = set._Find_next(b)) {
    size_t end = b;
    while (end + 1 < 256 && set[end + 1]) ++end;
    text += byteText(static_cast<int>(b));
    ++members;
    if (end > b) {
      text += '-';
      text += byteText(static_cast<int>(end));
      ++members;
    }
    b = end;
  }
  if (members == 1) return text.substr(1);
  return text + "]";
}

// The one byte of set, upper-cased if a letter, when set is that byte or a letter in both cases;
// else -1.
int foldOf(const ByteSet& set) {
  const size_t b = set._Find_first();
  if (b >= 256) return -1;
  const size_t second = set._Find_next(b);
  if (second >= 256)
    return b >= 'a' && b <= 'z' ? static_cast<int>(b - 'a' + 'A') : static_cast<int>(b);
  const bool letter_pair = b >= 'A' && b <= 'Z' && second == b - 'A' + 'a';
  return letter_pair && set._Find_next(second) >= 256 ? static_cast<int>(b) : -1;
}

// The bytes a bracket expression matches, as the C library itself says: for collating elements
// and equivalence classes, whose names this file does not interpret.
ByteSet probedBracket(const std::string& bracket, bool icase) {
  static std::map<std::pair<std::string, bool>, ByteSet> cache;
  const auto key = std::make_pair(bracket, icase);
  if (const auto it = cache.find(key); it != cache.end()) return it->second;
  ByteSet set;
  regex_t pattern;
  if (regcomp(&pattern, bracket.c_str(), icase ? REG_ICASE : 0) != 0) {
    throw Unsupported{"a bracket expression the C library rejects"};
  }
  for (int b = 1; b < 256; ++b) {
    const char text[2] = {static_cast<char>(b), '\0'};
    set[b] = regexec(&pattern, text, 0, nullptr, 0) == 0;
  }
  regfree(&pattern);
  return cache[key] = set;
}

// One expression of a branch, in the engine's syntax, with what its neighbours need to know.
struct Piece {
  std::string re;
  double size = 1;     // nodes after the C library expands repetitions
  double written = 1;  // nodes as written
  enum Word { kNone, kWordStart, kWordEnd } word = kNone;  // "\<" "\>" awaiting neighbours
  bool assertion = false;
  bool consumes = false;  // may take a byte of the text
  bool nullable = false;  // may match the empty text
  double loops = 0;       // the weight of unbounded repetitions of nullable parts, after expansion
  double anchors = 0;     // assertions, after expansion
  double chains = 0;      // the weight of optional copies of nullable parts holding assertions
  bool caret_open = false;             // holds a "^" that nothing inside it may precede
  bool text_anchor = false;            // holds "\`" or "\'"
  bool word_test = false;              // holds "\b", "\B", "\<" or "\>"
  bool dollar_open = false;            // holds a "$" that nothing inside it may follow
  std::optional<ByteSet> first, last;  // the set every match starts (ends) with, when certain
  int fold = -1;          // one byte, a letter in either case or not: the byte, upper-cased
  bool any_text = false;  // ".*": any bytes, as many as there are
  bool context = false;   // holds an assertion that looks at the byte before where it stands
  bool has_backref = false;
  int group_lo = 0, group_hi = 0;  // groups opened inside it

  // Adds what a part joined to this one (in sequence or as an alternative) brings.
  void absorb(const Piece& part) {
    size += part.size;
    written += part.written;
    loops += part.loops;
    anchors += part.anchors;
    chains += part.chains;
    has_backref |= part.has_backref;
    consumes |= part.consumes;
    caret_open |= part.caret_open;
    text_anchor |= part.text_anchor;
    word_test |= part.word_test;
    dollar_open |= part.dollar_open;
    context |= part.context;
  }
};

class Translator {
 public:
  Translator(std::string_view text, bool extended, bool icase)
      : s_(text.substr(0, text.find('\0'))), extended_(extended), icase_(icase) {}

  PosixTranslation run();

 private:
  enum Kind {
    kEnd,
    kChar,
    kAny,
    kBracket,
    kOpen,
    kClose,
    kAlt,
    kStar,
    kPlus,
    kQuestion,
    kInterval,
    kBegin,
    kEndAnchor,
    kWordStart,
    kWordEnd,
    kBoundary,
    kNotBoundary,
    kTextBegin,
    kTextEnd,
    kWord,
    kNotWord,
    kSpace,
    kNotSpace,
    kBackref
  };
  struct Token {
    Kind kind;
    int value = 0;
    size_t end = 0;
  };
  struct Group {
    bool repeated = false;        // under a repetition
    bool has_repetition = false;  // holds one
    bool closed = false;
  };

  Token peek(bool caret_here) const;
  Piece alternation(int depth, bool caret_here);
  Piece branch(int depth, bool caret_here);
  Piece expression(const Token& token, int depth);
  Piece group(int depth);
  ByteSet bracket();
  void repeat(Piece& piece, const Token& token);
  void resolveWords(std::vector<Piece>& pieces);
  void splitTop(const std::vector<Piece>& pieces);
  void fallBack(std::string reason) {
    if (fallback_.empty()) fallback_ = std::move(reason);
  }
  void refuse(std::string reason) {
    if (refusal_.empty()) refusal_ = std::move(reason);
  }
  // Empty steps cost the C library's compile far more than their number: loops over parts that
  // may match nothing, and assertions in nested optional copies.
  void refuseEmptySteps() {
    if (loops_ > kMaxNullableLoops) {
      refuse("its unbounded repetitions of parts that may match nothing weigh " +
             countText(loops_));
    }
    if (chains_ > kMaxOptionalAssertions) {
      refuse("its optional repetitions put " + countText(chains_) +
             " copies of assertions on paths that match nothing");
    }
  }

  static Piece chars(const ByteSet& set) {
    Piece piece;
    piece.re = setText(set);
    piece.consumes = true;
    piece.first = piece.last = set;
    piece.fold = foldOf(set);
    return piece;
  }
  static Piece assertion(std::string re, bool context) {
    Piece piece;
    piece.re = std::move(re);
    piece.assertion = true;
    piece.nullable = true;
    piece.anchors = 1;
    piece.context = context;
    return piece;
  }

  std::string s_;
  size_t pos_ = 0;
  bool extended_;
  bool icase_;
  std::vector<Group> groups_{Group{}};  // numbered from 1
  std::vector<int> open_;
  std::vector<int> backrefs_;
  std::string fallback_;
  std::string refusal_;
  double expanded_ = 0;       // copies added by the repetitions read so far
  double loops_ = 0;          // the same for Piece::loops
  double chains_ = 0;         // and for Piece::chains
  bool empty_steps_ = false;  // some repetition holds a part that may match nothing
  PosixTranslation split_;    // only its field and split
};

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

PosixTranslation Translator::run() {
  PosixTranslation out;
  try {
    const Piece whole = alternation(0, true);
    if (pos_ != s_.size()) throw Unsupported{"an unmatched closing parenthesis"};
    if (whole.size - whole.written > kMaxExpandedSize) {
      refuse("its repetitions expand to " + countText(whole.size) + " copies of its parts");
    }
    int risky = 0;
    for (const int n : backrefs_) {
      if (groups_[n].repeated) refuse("a back-reference to a group under a repetition");
      if (groups_[n].has_repetition) ++risky;
    }
    if (risky > 1) refuse("several back-references to groups with repetitions");
    if (!backrefs_.empty()) fallBack("a back-reference");
    out.pattern = whole.re;
    out.field = std::move(split_.field);
    out.head = std::move(split_.head);
    out.rest = std::move(split_.rest);
  } catch (const Unsupported& unsupported) {
    fallBack(unsupported.reason);
    // The C library expands each repetition as it reads it, so what was read before the point
    // where reading stopped is what it would pay for, however the expression ends.
    if (expanded_ > kMaxExpandedSize) {
      refuse("its repetitions expand to more than " + countText(expanded_) +
             " copies of its parts");
    }
  }
  refuseEmptySteps();
  out.fallback = fallback_;
  out.refusal = refusal_;
  out.empty_steps = empty_steps_;
  return out;
}

Piece Translator::alternation(int depth, bool caret_here) {
  if (depth > kMaxDepth) {
    refuse("groups nested more than 200 deep");
    throw Unsupported{"deep nesting"};
  }
  Piece whole = branch(depth, caret_here);
  while (peek(false).kind == kAlt) {
    pos_ = peek(false).end;
    Piece next = branch(depth, true);
    if (depth == 0) split_ = {};
    whole.re += '|';
    whole.re += next.re;
    whole.absorb(next);
    whole.nullable |= next.nullable;
    if (whole.first && next.first) {
      *whole.first |= *next.first;
    } else {
      whole.first.reset();
    }
    if (whole.last && next.last) {
      *whole.last |= *next.last;
    } else {
      whole.last.reset();
    }
  }
  return whole;
}

Piece Translator::branch(int depth, bool caret_here) {
  std::vector<Piece> pieces;
  pieces.reserve(std::min<size_t>(s_.size() - pos_, 64));  // most branches never grow past it
  for (bool first = true;; first = false) {
    const Token token = peek(first && caret_here);
    if (token.kind == kEnd || token.kind == kAlt || token.kind == kClose) break;
    pos_ = token.end;
    pieces.push_back(expression(token, depth));
  }
  resolveWords(pieces);
  Piece whole;
  whole.size = whole.written = 0;
  whole.nullable = true;
  for (const Piece& piece : pieces) {
    whole.re += piece.re;
    whole.absorb(piece);
    whole.nullable &= piece.nullable;
  }
  bool consumed = false;
  for (const Piece& piece : pieces) {
    if (piece.caret_open && consumed) fallBack("a start anchor that may follow a line end");
    consumed |= piece.consumes;
  }
  consumed = false;
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    if (it->dollar_open && consumed) fallBack("an end anchor that may precede a line end");
    consumed |= it->consumes;
  }
  // The first and last bytes consumed, assertions being zero-width.
  for (const Piece& piece : pieces) {
    if (piece.assertion) continue;
    whole.first = piece.first;
    break;
  }
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    if (it->assertion) continue;
    whole.last = it->last;
    break;
  }
  if (depth == 0 && pos_ == s_.size()) splitTop(pieces);
  return whole;
}

// The field and split of the whole expression, when it is this one branch: the field name and
// colon right after a start anchor; and "^Subject:.*rest" matches where "rest" matches anywhere
// after "Subject:", unless something in rest looks at the byte before it (the split would hide
// that byte).
void Translator::splitTop(const std::vector<Piece>& pieces) {
  if (pieces.empty() || !pieces[0].assertion || pieces[0].re != "\\A") return;
  std::string field;
  for (size_t i = 1; i < pieces.size() && pieces[i].fold >= 0; ++i) {
    field += static_cast<char>(pieces[i].fold);
    if (pieces[i].fold == ':') break;
  }
  if (field.empty() || field.back() != ':') return;
  split_.field = std::move(field);
  size_t k = 1;
  while (k < pieces.size() && pieces[k].fold >= 0) ++k;
  if (k == pieces.size() || !pieces[k].any_text) return;
  std::string head, rest;
  for (size_t i = 1; i < k; ++i) {
    const ByteSet& set = *pieces[i].first;
    const size_t one = set._Find_first();
    const size_t other = set._Find_next(one);
    head += static_cast<char>(one);
    head += static_cast<char>(other < 256 ? other : one);
  }
  for (size_t i = k + 1; i < pieces.size(); ++i) {
    if (pieces[i].context) return;
    rest += pieces[i].re;
  }
  split_.head = std::move(head);
  split_.rest = std::move(rest);
}

// "\<" is a word boundary before a word byte, "\>" one after a word byte: exact when the next
// (previous) piece certainly starts (ends) with a word byte, never true when it certainly does not.
void Translator::resolveWords(std::vector<Piece>& pieces) {
  static const ByteSet kWordBytes = wordSet();
  for (size_t i = 0; i < pieces.size(); ++i) {
    Piece& piece = pieces[i];
    if (piece.word == Piece::kNone) continue;
    const Piece* neighbour = piece.word == Piece::kWordStart
                                 ? (i + 1 < pieces.size() ? &pieces[i + 1] : nullptr)
                                 : (i > 0 ? &pieces[i - 1] : nullptr);
    const std::optional<ByteSet>* bytes = nullptr;
    if (neighbour != nullptr && !neighbour->assertion) {
      bytes = piece.word == Piece::kWordStart ? &neighbour->first : &neighbour->last;
    }
    if (bytes == nullptr || !bytes->has_value()) {
      fallBack("a word-start or word-end assertion beside a part that may begin or end either way");
      continue;
    }
    const ByteSet& set = **bytes;
    if ((set & ~kWordBytes).none()) {
      piece.re = "\\b";
    } else if ((set & kWordBytes).none()) {
      piece.re = kNever;
    } else {
      fallBack("a word-start or word-end assertion beside a part that may begin or end either way");
    }
  }
}

Piece Translator::expression(const Token& token, int depth) {
  Piece piece;
  switch (token.kind) {
    case kChar:
      piece = chars(literalSet(token.value, icase_));
      break;
    case kAny:
      piece = chars(allBytes());
      break;
    case kBracket:
      piece = chars(bracket());
      break;
    case kWord:
      piece = chars(wordSet());
      break;
    case kNotWord:
      piece = chars(allBytes() & ~wordSet());
      break;
    case kSpace:
      piece = chars(setOf(isspace));
      break;
    case kNotSpace:
      piece = chars(allBytes() & ~setOf(isspace));
      break;
    case kOpen:
      piece = group(depth);
      break;
    case kBackref:
      if (token.value >= static_cast<int>(groups_.size()) || !groups_[token.value].closed) {
        throw Unsupported{"a back-reference to no group"};
      }
      backrefs_.push_back(token.value);
      piece.has_backref = true;
      piece.nullable = true;  // as far as anyone can tell here
      piece.re = kNever;      // never used: the rule falls back
      break;
    // Anchors take no repetition: what follows them starts a new expression.
    case kBegin: {
      Piece caret = assertion("\\A", true);
      caret.caret_open = true;
      return caret;
    }
    case kEndAnchor: {
      Piece dollar = assertion("\\z", false);
      dollar.dollar_open = true;
      return dollar;
    }
    case kTextBegin:
    case kTextEnd: {
      Piece end = token.kind == kTextBegin ? assertion("\\A", true) : assertion("\\z", false);
      end.text_anchor = true;
      return end;
    }
    case kBoundary:
    case kNotBoundary: {
      Piece boundary = assertion(token.kind == kBoundary ? "\\b" : "\\B", true);
      boundary.word_test = true;
      return boundary;
    }
    case kWordStart:
    case kWordEnd: {
      Piece word = assertion("", true);
      word.word = token.kind == kWordStart ? Piece::kWordStart : Piece::kWordEnd;
      word.word_test = true;
      return word;
    }
    case kStar:
    case kPlus:
    case kQuestion:
      if (extended_) throw Unsupported{"a repetition with nothing to repeat"};
      piece = chars(literalSet(token.value, icase_));
      break;
    default:
      throw Unsupported{"an operator where an expression should begin"};
  }
  for (;;) {
    const Token next = peek(false);
    if (next.kind != kStar && next.kind != kPlus && next.kind != kQuestion &&
        next.kind != kInterval) {
      break;
    }
    pos_ = next.end;
    repeat(piece, next);
  }
  return piece;
}

Piece Translator::group(int depth) {
  const int id = static_cast<int>(groups_.size());
  groups_.emplace_back();
  open_.push_back(id);
  Piece inner = alternation(depth + 1, true);
  const Token close = peek(false);
  if (close.kind != kClose) throw Unsupported{"an unclosed group"};
  pos_ = close.end;
  open_.pop_back();
  groups_[id].closed = true;
  Piece piece;
  piece.re = "(?:" + inner.re + ")";
  piece.size = inner.size + 1;
  piece.written = inner.written + 1;
  piece.first = inner.first;
  piece.last = inner.last;
  piece.has_backref = inner.has_backref;
  piece.consumes = inner.consumes;
  piece.nullable = inner.nullable;
  piece.loops = inner.loops;
  piece.anchors = inner.anchors;
  piece.chains = inner.chains;
  piece.caret_open = inner.caret_open;
  piece.text_anchor = inner.text_anchor;
  piece.word_test = inner.word_test;
  piece.context = inner.context;
  piece.dollar_open = inner.dollar_open;
  piece.group_lo = id;
  piece.group_hi = static_cast<int>(groups_.size());
  return piece;
}

void Translator::repeat(Piece& piece, const Token& token) {
  long min = 0, max = -1;  // -1: no upper bound
  if (token.kind == kPlus) {
    min = 1;
  } else if (token.kind == kQuestion) {
    max = 1;
  } else if (token.kind == kInterval) {
    auto number = [&]() {
      long value = -1;
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) {
        value = (value < 0 ? 0 : value) * 10 + (s_[pos_] - '0');
        if (value > 100000) throw Unsupported{"a repetition count out of range"};
        ++pos_;
      }
      return value;
    };
    min = number();
    if (pos_ < s_.size() && s_[pos_] == ',') {
      ++pos_;
      max = number();
      if (min < 0) min = 0;
    } else {
      if (min < 0) throw Unsupported{"an empty interval"};
      max = min;
    }
    const std::string_view close = extended_ ? "}" : "\\}";
    if (s_.compare(pos_, close.size(), close) != 0) throw Unsupported{"an unclosed interval"};
    pos_ += close.size();
    if (max >= 0 && min > max) throw Unsupported{"an interval whose bounds are reversed"};
  }
  piece.fold = -1;
  piece.any_text = piece.re == "(?s:.)" && min == 0 && max < 0;
  if (piece.has_backref) refuse("a repetition of a back-reference");
  // Repeating what takes no byte changes nothing, but each copy is a chain of empty steps for the
  // C library's compiler, whose time grows far faster than their number.
  if (!piece.consumes && max != 0 && max != 1) refuse("a repetition of a part that takes no text");
  for (int g = piece.group_lo; g < piece.group_hi; ++g) groups_[g].repeated = true;
  for (const int g : open_) groups_[g].has_repetition = true;
  if (min > kEngineMaxRepeat || max > kEngineMaxRepeat) fallBack("a repetition count above 1000");
  // In the second and later copies of a repetition the C library does not hold "\`" to the start
  // of the text (basic "\(\`x\)\{2\}" matches "xx"); "\'" is left to it as well.
  if ((piece.caret_open || piece.dollar_open || piece.text_anchor) && piece.consumes && max != 1 &&
      max != 0) {
    fallBack("an anchor in a repeated group");
  }
  // For a count or "+" the C library writes the group out again for the later matches ("*" and
  // "?" keep the one), and it does not check a word assertion whose next step lies in such a
  // copy: "(\bx){2}" matches "xx".
  const bool copied = max > 1 || (max < 0 && min > 0);
  if (piece.word_test && piece.consumes && copied) fallBack("a word assertion in a repeated group");

  std::string re = "(?:";
  re += piece.re;
  re += "){";
  re += std::to_string(min);
  if (max != min) {
    re += ',';
    if (max >= 0) re += std::to_string(max);
  }
  re += '}';
  piece.re = std::move(re);
  // What the C library's compile costs, counted as it reads (the counts of the whole expression
  // are the sums of these steps, kept also when reading stops at an error further on).
  const double copies =
      max < 0 ? static_cast<double>(min + 1) : static_cast<double>(max > 0 ? max : 1);
  const double size = piece.size, anchors = piece.anchors;
  // A loop's empty steps reach every part of what it repeats that may be skipped: its weight is
  // the square of that part's size.
  const double loops = piece.loops * copies + (max < 0 && piece.nullable ? size * size : 0);
  // "{m,n}" nests its n - m optional copies in one another; where they may match nothing, the
  // assertions in them are joined by empty steps whose contexts the compile tracks in turn.
  const double optional = max > min + 1 && piece.nullable ? static_cast<double>(max - min) : 0;
  const double chains = piece.chains * copies + anchors * optional;
  if ((anchors > 0 || piece.nullable) && (max < 0 || max > 1)) empty_steps_ = true;
  expanded_ += size * copies - size;
  loops_ += loops - piece.loops;
  chains_ += chains - piece.chains;
  piece.size = size * copies;
  piece.anchors = anchors * copies;
  piece.loops = loops;
  piece.chains = chains;
  if (min == 0) piece.nullable = true;
  if (min == 0) piece.first = piece.last = std::nullopt;
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

}  // namespace

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

namespace {

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

}  // namespace

PosixTranslation translatePosix(std::string_view expression, bool extended, bool icase) {
  // The C library's compiler grows several times over with each repetition stacked on another,
  // before any match: such a rule is refused whatever else it holds.
  if (stackedRepetitions(expression, extended) > kMaxStackedRepetitions) {
    PosixTranslation refused;
    refused.refusal =
        "more than " + std::to_string(kMaxStackedRepetitions) + " repetition operators in a row";
    return refused;
  }
  return Translator(expression, extended, icase).run();
}
