#include "rules/rules.h"

#include <gtest/gtest.h>

namespace {

TEST(ExtendedOperatorsIn, FindsUnescapedOperatorsOutsideBrackets) {
  struct Case {
    const char* expression;
    const char* found;
  };
  const Case cases[] = {
      {"^Subject:.*(viagra|casino)", "( | )"},
      {"^From:.*a+b?", "+ ?"},
      {"^Subject: \\(re\\)", ""},  // basic grouping, meant as such
      {"a\\|b\\+c\\?", ""},        // escaped: GNU operators in basic syntax
      {"[(|)+?]x", ""},            // members of a bracket expression
      {"[]|]y", ""},               // "]" first is a member
      {"[^]|]y", ""},
      {"[[:alpha:]|]z", ""},  // a class does not end the bracket
      {"[[:alpha:]]|z", "|"},
      {"\\\\|x", "|"},     // an escaped backslash, then a real "|"
      {"[abc", ""},        // unbalanced: left to the compiler
      {"[[:x (a|b)", ""},  // a class that is never closed leaves the bracket unbalanced too
      {"^Subject: FREE", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(extendedOperatorsIn(c.expression), c.found) << c.expression;
  }
}

}  // namespace
