#include "filter/required_literals.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <string>

namespace {

// "^{a, b} & {c}": the clauses, anchored ones marked "^", literals in braces; "unanalysed" when
// the analysis gives up, "" when nothing is required.
std::string show(const std::optional<std::vector<LiteralClause>>& clauses) {
  if (!clauses) return "unanalysed";
  std::string out;
  for (const LiteralClause& clause : *clauses) {
    if (!out.empty()) out += " & ";
    if (clause.anchored) out += '^';
    out += '{';
    for (size_t i = 0; i < clause.literals.size(); ++i) out += (i ? ", " : "") + clause.literals[i];
    out += '}';
  }
  return out;
}

constexpr int B = 0;
constexpr int E = REG_EXTENDED;
constexpr int I = REG_ICASE;

struct Case {
  std::string expression;
  int cflags;
  std::string expected;
};

TEST(RequiredLiteralsTest, WhatEveryMatchContains) {
  const Case cases[] = {
      // Field prefixes and the words after them; letters are folded.
      {"^Subject:.*viagra", B | I, "^{subject:} & {viagra}"},
      {"^From:.*friend@trusted\\.example", E, "^{from:} & {friend@trusted.example}"},
      {"^X-Spam-Flag: YES", B, "^{x-spam-flag: yes}"},
      {"^Received:.*\\[10\\.0\\.3\\.", E, "^{received:} & {[10.0.3.}"},
      {"^(Date|To):", E, "^{date:, to:}"},
      {"^abc|^abd", E, "^{abc, abd}"},
      {"^abc|abd", E, "{abc, abd}"},
      {"Subject: (cheap|free) (pills|meds)", E,
       "{subject: cheap meds, subject: cheap pills, subject: free meds, subject: free pills}"},
      {"^Subject:.*(lottery|winner)7", E, "^{subject:} & {lottery7, winner7}"},
      // Operators of one syntax are characters in the other.
      {"^(Date|To):", B, "^{(date|to):}"},
      {"a|b", B, "{a|b}"},
      {"a\\|b", B, "{a, b}"},
      {"a\\|b", E, "{a|b}"},
      {"a+b", B, "{a+b}"},
      {"a\\+b", B, "{a} & {b}"},
      {"a{2}", B, "{a{2}}"},
      {"a\\{2\\}b", B, "{a} & {b}"},
      {"a{2,3}b", E, "{a} & {b}"},
      {"a\\)", E, "{a)}"},
      {"(", B, "{(}"},
      {"x}", E, "{x}}"},
      // "^" and "$" are anchors in basic syntax only at the ends of an expression or group.
      {"a^b", B, "{a^b}"},
      {"a^b", E, "{ab}"},
      {"a$b", B, "{a$b}"},
      {"x$\\|y", B, "{x, y}"},
      {"\\(^ab\\)", B, "{ab}"},
      // Repetition, optional parts, the one-character operators.
      {"colou?r", E, "{color, colour}"},
      {"(abc|de)*x", E, "{x}"},
      {"(abc|de)+x", E, "{abc, de} & {x}"},
      {"a.b", B, "{a} & {b}"},
      {"xab*c", B, "{xa} & {c}"},
      {"ab\\{2\\}c", B, "{a} & {b} & {c}"},
      {"a\\.b", B, "{a.b}"},
      {"\\bfoo\\>", B, "{foo}"},
      {"\\w+@example", E, "{@example}"},
      // Brackets: small lists are exact, anything else is one unknown character.
      {"[Vv]iagra", B, "{viagra}"},
      {"v[i1]agra", B, "{v1agra, viagra}"},
      {"[]a]b", B, "{]b, ab}"},
      {"[a-]x", B, "{-x, ax}"},
      {"[]-a]x", B, "{x}"},
      {"[a-z]+bc", E, "{bc}"},
      {"x[^a]y", B, "{x} & {y}"},
      {"[[:alpha:]]x", B, "{x}"},
      {"[\\.]x", B, "{.x, \\x}"},
      // Nothing required.
      {"", B, ""},
      {".*", E, ""},
      {"a*", E, ""},
      {"^$", B, ""},
      {"a|", E, ""},
      // Case folding beyond ASCII is the library's business when case is ignored.
      {"\xe9t\xe9", B, "{\xe9t\xe9}"},
      {"\xe9t\xe9", B | I, "{t}"},
      {"[\xc9\xe9]t", B | I, "{t}"},
      // regcomp sees the expression up to its first NUL.
      {std::string("ab\0cd", 5), B, "{ab}"},
      // Not analysed.
      {"(a)\\1", E, "unanalysed"},
      {"\\(a\\)\\1", B, "unanalysed"},
      {"[[.a.]]b", B, "unanalysed"},
      {"[[=a=]]b", B, "unanalysed"},
      {"*abc", B, "unanalysed"},
      {"^*a", B, "unanalysed"},
      {"\\(*a\\)", B, "unanalysed"},
      {"a)", E, "unanalysed"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(requiredLiterals(c.expression, c.cflags)), c.expected)
        << "\"" << c.expression << "\" cflags " << c.cflags;
  }
}

// Long products and alternations stay bounded: split into clauses, or given up.
TEST(RequiredLiteralsTest, LargeSetsAreSplitOrWeakened) {
  EXPECT_EQ(show(requiredLiterals("[ab][cd][ef][gh][ij]xyz", B)),
            "{ixyz, jxyz} & {aceg, aceh, acfg, acfh, adeg, adeh, adfg, adfh, bceg, bceh, bcfg, "
            "bcfh, bdeg, bdeh, bdfg, bdfh}");
  std::string many = "^(";
  for (int i = 0; i < 40; ++i) many += (i ? "|w" : "w") + std::to_string(i) + "x";
  many += ")";
  EXPECT_EQ(show(requiredLiterals(many, E)), "");
  EXPECT_EQ(show(requiredLiterals(std::string(200, '(') + "deep" + std::string(200, ')'), E)),
            "unanalysed");
}

}  // namespace
