#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A rule's POSIX expression restated for the linear-time engine, with the same yes/no on every
// text as the C library's matcher gives in the C locale (text up to its first NUL).
struct PosixTranslation {
  std::string
      pattern;  // the engine's syntax (byte semantics); meaningful when both below are empty
  std::string fallback;  // why the C library's matcher must keep this rule; empty when translated
  std::string refusal;   // why the rule cannot be matched safely at all; empty when it can
  // Some repetition holds a part that may match nothing, on which the C library's compile may
  // spend long in ways the limits below do not foretell.
  bool empty_steps = false;
  // The field name and colon, ASCII letters upper-cased, that every text the pattern matches
  // starts with once its ASCII letters are upper-cased ("SUBJECT:" for "^Subject:.*x"); empty
  // when the pattern does not demand one.
  std::string field;
  // When the pattern is a start anchor, bytes that take in at least the field, and then any text
  // (".*"): those bytes, two for each (a byte of the text matches when it is either), and the rest,
  // which then matches exactly where it matches anywhere in the text after them. Empty otherwise.
  std::string head;
  std::string rest;
  // When the start anchor is followed by one of several spelled-out names and then the rest of a
  // field name ("^(Subject|From|To):"): each field as above with, when the pattern is split, its
  // head. field and head are then empty; rest, lead and literal hold for every one of them.
  std::vector<std::pair<std::string, std::string>> fields;
  // The bytes every match of what an unanchored scan tries at each position (rest when the
  // pattern is split, else the pattern) starts with, letters upper-cased (each byte stands for
  // itself or, for a letter, either case): a repetition after them starts only where they stand.
  // Empty for an anchored or alternated pattern.
  std::string lead;
  // The longest run of such bytes anywhere in the same part, also inside a group of one branch or
  // a repetition of at least one copy: every match holds it (a letter in either case). Empty for
  // an alternated pattern.
  std::string literal;
};

// Where the bracket expression whose "[" stands at s[open] ends: the index of its closing "]", or
// npos when it has none (the C library then rejects the expression). A "]" right after "[" or
// "[^" is a member, and so is everything inside "[: :]", "[. .]" and "[= =]".
size_t bracketExpressionEnd(std::string_view s, size_t open);

// Reads expression (up to its first NUL) as basic or extended syntax, letter case ignored or not,
// as regcomp would. An expression regcomp rejects gets some translation or fallback: callers
// compile it with regcomp as well and trust only what regcomp accepts.
PosixTranslation translatePosix(std::string_view expression, bool extended, bool icase);

// The largest expansion of repetitions (each atom counted once for every copy the C library makes
// of it) that a rule may have; beyond it the C library's compile takes seconds to minutes.
inline constexpr double kMaxExpandedSize = 2000;
// Limits on what the C library's compile spends on empty steps, beyond which it takes over 0.1 s:
// unbounded repetitions ("*", "+", "{n,}") of parts that may match the empty text, each weighing
// the square of the repeated part's size after expansion,
inline constexpr double kMaxNullableLoops = 20000;
// and assertions in the optional copies of "{m,n}" where those may match nothing, after expansion.
inline constexpr double kMaxOptionalAssertions = 16;
// Repetition operators applied one after another ("a*?+") beyond this are refused.
inline constexpr int kMaxStackedRepetitions = 3;
