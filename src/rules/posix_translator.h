#pragma once

// The translator's inside, shared by its three parts: posix_read.cpp reads the expression as the C
// library would, posix_decide.cpp decides what the linear-time engine can take and what must fall
// back or be refused, posix_write.cpp writes bytes and byte sets in the engine's syntax.

#include <bitset>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/posix_translation.h"

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
namespace posix {

using ByteSet = std::bitset<256>;

// The engine refuses counts above this.
constexpr long kEngineMaxRepeat = 1000;
// Deeper nesting is refused before the C library's recursive reader sees it.
constexpr int kMaxDepth = 200;

struct Unsupported {
  std::string reason;
};

// Bytes and byte sets (posix_write.cpp).
int upper(int c, bool icase);  // c upper-cased when case is ignored and c is a-z
ByteSet setOf(int (*is)(int));
ByteSet wordSet();
ByteSet allBytes();
// The bytes t with T(t) == v, T upper-casing when case is ignored.
ByteSet literalSet(int v, bool icase);
// A class name ("alpha") as a byte set; none for a name the C library does not know.
std::optional<ByteSet> classSet(const std::string& name, bool icase);
std::string byteText(int b);
// A count kept as a double (it may exceed any integer type), as a whole number.
std::string countText(double count);
// A pattern that matches nowhere.
inline constexpr char kNever[] = "(?:\\b\\B)";
std::string setText(ByteSet set);
// The one byte of set, upper-cased if a letter, when set is that byte or a letter in both cases;
// else -1.
int foldOf(const ByteSet& set);
// A byte, or a letter in both cases, as the two bytes PosixTranslation::head writes for it.
std::string headBytes(const ByteSet& set);
// The bytes a bracket expression matches, as the C library itself says.
ByteSet probedBracket(const std::string& bracket, bool icase);

// The longest run of repetition operators applied one after another (posix_read.cpp).
int stackedRepetitions(std::string_view s, bool extended);

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
  // Of a branch of single bytes, or a group or alternation of only such branches: each branch's
  // bytes (upper-cased, as fold) and the two bytes of the text each matches (as
  // PosixTranslation::head writes them). Empty for anything else.
  std::vector<std::pair<std::string, std::string>> spellings;
  // The longest run of single bytes (as fold) that every match holds, inside groups and
  // repetitions of at least one copy as well.
  std::string literal;

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
  PosixTranslation split_;    // only its field, split and lead
};

}  // namespace posix
