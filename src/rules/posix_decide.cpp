#include "rules/posix_translation.h"

#include <regex.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rules/posix_translator.h"

// Deciding, piece by piece, what the linear-time engine can take with the same yes/no as the C
// library, what must keep the C library's matcher, and what no matcher can be trusted with.
namespace posix {

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
    out.fields = std::move(split_.fields);
    out.rest = std::move(split_.rest);
    out.lead = std::move(split_.lead);
    out.literal = std::move(split_.literal);
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
  bool spelled = !whole.spellings.empty();
  while (peek(false).kind == kAlt) {
    pos_ = peek(false).end;
    Piece next = branch(depth, true);
    spelled &= !next.spellings.empty();
    whole.literal.clear();  // either branch may match
    if (spelled) {
      whole.spellings.insert(whole.spellings.end(), next.spellings.begin(), next.spellings.end());
    }
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
  if (!spelled) whole.spellings.clear();
  return whole;
}

Piece Translator::branch(int depth, bool caret_here) {
  // The pieces of a branch live only while it is read: each depth reuses one list per thread,
  // kept from rule to rule. A fresh list per branch, reserved for 64 pieces, cost a large
  // allocation and a merge of the allocator's freed chunks for every branch of every rule.
  // All depths at once: a list that grew would move the lists of the branches being read.
  thread_local std::vector<std::vector<Piece>> lists(kMaxDepth + 1);
  std::vector<Piece>& pieces = lists[static_cast<size_t>(depth)];
  pieces.clear();
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
  std::string run;
  for (const Piece& piece : pieces) {
    run = piece.fold >= 0 ? run + static_cast<char>(piece.fold) : std::string();
    const std::string& longer = piece.literal.size() > run.size() ? piece.literal : run;
    if (longer.size() > whole.literal.size()) whole.literal = longer;
  }
  if (!pieces.empty() &&
      std::all_of(pieces.begin(), pieces.end(), [](const Piece& p) { return p.fold >= 0; })) {
    std::string bytes, pairs;
    for (const Piece& piece : pieces) {
      bytes += static_cast<char>(piece.fold);
      pairs += headBytes(*piece.first);
    }
    whole.spellings.emplace_back(std::move(bytes), std::move(pairs));
  }
  if (depth == 0 && pos_ == s_.size()) splitTop(pieces);
  return whole;
}

namespace {

// The bytes of the pieces from `from` on that are each one byte (or a letter in either case): the
// leading run into lead, the longest run into literal.
void literalRuns(const std::vector<Piece>& pieces, size_t from, PosixTranslation& into) {
  std::string run;
  into.lead.clear();
  into.literal.clear();
  bool leading = true;
  for (size_t i = from; i <= pieces.size(); ++i) {
    if (i < pieces.size() && pieces[i].fold >= 0) {
      run += static_cast<char>(pieces[i].fold);
      continue;
    }
    if (leading) into.lead = run;
    leading = false;
    if (run.size() > into.literal.size()) into.literal = run;
    run.clear();
    // A group or repetition of one copy at least holds its own literal in every match.
    if (i < pieces.size() && pieces[i].literal.size() > into.literal.size()) {
      into.literal = pieces[i].literal;
    }
  }
}

}  // namespace

// The field and split of the whole expression, when it is this one branch: the field name and
// colon right after a start anchor; and "^Subject:.*rest" matches where "rest" matches anywhere
// after "Subject:", unless something in rest looks at the byte before it (the split would hide
// that byte).
void Translator::splitTop(const std::vector<Piece>& pieces) {
  literalRuns(pieces, 0, split_);
  if (pieces.empty() || !pieces[0].assertion || pieces[0].re != "\\A") return;
  // One of several names first ("^(Subject|From|To):"): each names its own field, as long as
  // none holds the colon itself and no two are the same field.
  const bool several = pieces.size() > 1 && pieces[1].fold < 0 && !pieces[1].spellings.empty();
  if (several) {
    for (const auto& spelling : pieces[1].spellings) {
      if (spelling.first.find(':') != std::string::npos) return;
    }
  }
  const size_t start = several ? 2 : 1;
  std::string field;
  for (size_t i = start; i < pieces.size() && pieces[i].fold >= 0; ++i) {
    field += static_cast<char>(pieces[i].fold);
    if (pieces[i].fold == ':') break;
  }
  if (field.empty() || field.back() != ':') return;
  size_t k = start;
  while (k < pieces.size() && pieces[k].fold >= 0) ++k;
  const bool split = k < pieces.size() && pieces[k].any_text;
  std::string head, rest;
  for (size_t i = start; split && i < k; ++i) head += headBytes(*pieces[i].first);
  for (size_t i = k + 1; split && i < pieces.size(); ++i) {
    if (pieces[i].context) {
      head.clear();
      rest.clear();
      break;
    }
    rest += pieces[i].re;
  }
  if (several) {
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [bytes, pairs] : pieces[1].spellings) {
      std::string name = bytes + field;
      for (const auto& other : fields) {
        if (other.first == name) return;
      }
      fields.emplace_back(std::move(name), head.empty() ? std::string() : pairs + head);
    }
    split_.fields = std::move(fields);
  } else {
    split_.field = std::move(field);
    split_.head = head;
  }
  if (head.empty()) return;
  split_.rest = std::move(rest);
  literalRuns(pieces, k + 1, split_);
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
  piece.spellings = std::move(inner.spellings);
  piece.literal = std::move(inner.literal);
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
  piece.spellings.clear();
  if (min == 0) piece.literal.clear();
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

}  // namespace posix

PosixTranslation translatePosix(std::string_view expression, bool extended, bool icase) {
  // The C library's compiler grows several times over with each repetition stacked on another,
  // before any match: such a rule is refused whatever else it holds.
  if (posix::stackedRepetitions(expression, extended) > kMaxStackedRepetitions) {
    PosixTranslation refused;
    refused.refusal =
        "more than " + std::to_string(kMaxStackedRepetitions) + " repetition operators in a row";
    return refused;
  }
  return posix::Translator(expression, extended, icase).run();
}
