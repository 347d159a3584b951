#include "rules/filter_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "report/fatal.h"
#include "report/warning.h"

namespace {

class FilterRuleTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings::instance().resetForTesting(); }
};

TEST_F(FilterRuleTest, CaseFlagFollowsKeywordAndRegCaseInForce) {
  Settings& s = Settings::instance();
  s.addDeny("DENY", "=", "a");
  s.addDeny("deny", "=", "b");
  s.setRegCase("yes");
  s.addDeny("Deny", "=", "c");
  s.addDeny("Deny_NoCase", "=", "d");
  s.addDeny("DENY_CASE", "<>", "e");
  ASSERT_EQ(s.denyRules().size(), 5u);
  EXPECT_EQ(s.denyRules()[0].cflags(), REG_ICASE);
  EXPECT_EQ(s.denyRules()[1].cflags(), REG_ICASE);
  EXPECT_EQ(s.denyRules()[2].cflags(), 0);
  EXPECT_EQ(s.denyRules()[3].cflags(), REG_ICASE);
  EXPECT_EQ(s.denyRules()[4].cflags(), 0);
  EXPECT_TRUE(s.denyRules()[4].negated());
  EXPECT_EQ(s.negativeDenyCount(), 1);
  EXPECT_EQ(s.negativeAllowCount(), 0);
  s.addAllow("ALLOW", "<>", "x");
  s.addScore("SCORE_NOCASE", -5, "=", "y");
  EXPECT_EQ(s.negativeAllowCount(), 1);
  EXPECT_EQ(s.scoreRules()[0].score(), -5);
  EXPECT_EQ(s.scoreRules()[0].cflags(), REG_ICASE);
}

TEST_F(FilterRuleTest, SyntaxIsReadAtCompileTime) {
  Settings& s = Settings::instance();
  s.addDeny("DENY", "=", "^Subject: (a|b)+$");
  s.setRegType("EXTENDED");
  ASSERT_EQ(compileRules(), 0);
  EXPECT_TRUE(s.denyRules()[0].matches("Subject: abba"));
  EXPECT_TRUE(s.denyRules()[0].matches("SUBJECT: AB"));
  EXPECT_FALSE(s.denyRules()[0].matches("Subject: abc"));
}

TEST_F(FilterRuleTest, NoNewlineFlag) {
  Settings& s = Settings::instance();
  s.addDeny("DENY_CASE", "=", "a.b");
  ASSERT_EQ(compileRules(), 0);
  EXPECT_TRUE(s.denyRules()[0].matches("xa\nb"));
}

TEST_F(FilterRuleTest, BadExpressionReportsLibraryMessageAndList) {
  Settings& s = Settings::instance();
  s.addAllow("ALLOW", "=", "(unbalanced");
  EXPECT_EQ(compileRules(), 0) << "basic syntax takes ( literally";
  s.allowRules().clear();
  s.denyRules().clear();
  s.addAllow("ALLOW", "=", "(unbalanced");
  s.addDeny("DENY", "=", "(bad too");
  s.setRegType("extended");
  testing::internal::CaptureStderr();
  EXPECT_NE(compileRules(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "pollensift: Error: Unmatched ( or \\(\n"
            "pollensift: Error: Could not compile regular expression (allow).\n"
            "pollensift: The allow rule \"(unbalanced\" is not a valid regular expression: "
            "Unmatched ( or \\(.\n");
  EXPECT_FALSE(s.allowRules()[0].compiled());
  EXPECT_FALSE(s.denyRules()[0].compiled()) << "no rule after the failing one is compiled";
}

// Long lists are compiled on two threads, yet only the first bad rule in rc order is reported,
// as the compile of one rule after another would; a rule that needs a trial compile before it is
// still compiled on the way.
TEST_F(FilterRuleTest, InALongListTheFirstBadRuleInRcOrderIsReported) {
  struct Case {
    const char* name;
    size_t bad;   // the first bad deny rule, after 100 allow rules
    bool empty;   // it matches the empty text, rather than failing to compile
    const char* message;
  };
  const Case cases[] = {
      {"library error in the second half", 150, false,
       "pollensift: Error: Unmatched ( or \\(\n"
       "pollensift: Error: Could not compile regular expression (deny).\n"
       "pollensift: The deny rule \"(bad\" is not a valid regular expression: "
       "Unmatched ( or \\(.\n"},
      {"library error in the first half", 10, false,
       "pollensift: Error: Unmatched ( or \\(\n"
       "pollensift: Error: Could not compile regular expression (deny).\n"
       "pollensift: The deny rule \"(bad\" is not a valid regular expression: "
       "Unmatched ( or \\(.\n"},
      {"catch-all before a library error", 120, true,
       "pollensift: Error: The deny rule \"x*\" matches the empty text, so it matches every "
       "header line and would delete every message.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Settings::instance().resetForTesting();
    Settings& s = Settings::instance();
    s.setRegType("extended");
    for (int i = 0; i < 100; ++i) s.addAllow("ALLOW", "=", "^From:.*friend" + std::to_string(i));
    for (size_t i = 0; i < 200; ++i) {
      if (i == c.bad) {
        s.addDeny("DENY", "=", c.empty ? "x*" : "(bad");
      } else if (i == c.bad + 20) {
        s.addDeny("DENY", "=", "(later bad");
      } else if (i == c.bad - 5) {
        s.addDeny("DENY", "=", "^Subject:.*(x?){2,3}zq");  // tried in a child process first
      } else {
        s.addDeny("DENY", "=", "^Subject:.*spam" + std::to_string(i));
      }
    }
    testing::internal::CaptureStderr();
    EXPECT_NE(compileRules(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_TRUE(s.allowRules()[99].compiled());
    EXPECT_TRUE(s.denyRules()[c.bad - 5].compiled());
    EXPECT_TRUE(s.denyRules()[c.bad - 1].compiled());
  }
}

// Every header line begins with the empty text: a positive deny rule that matches it would delete
// every message. Whether it does is the C library's answer under the rule's own flags.
TEST_F(FilterRuleTest, ADenyRuleThatMatchesTheEmptyTextIsRefused) {
  struct Case {
    const char* syntax;
    const char* keyword;
    const char* op;
    const char* expression;
    bool refused;
  };
  const Case cases[] = {
      {"extended", "DENY", "=", "(viagra|lottery|)", true},
      {"basic", "DENY", "=", "(viagra|lottery|)", false},  // all literal in basic syntax
      {"basic", "DENY", "=", "\\(viagra\\|\\)", true},
      {"basic", "DENY", "=", "x*", true},
      {"basic", "DENY_CASE", "=", "^", true},
      {"extended", "DENY_NOCASE", "=", ".*", true},
      {"extended", "DENY", "=", "(Subject: )?", true},
      // Not the empty text, but every Subject line: an ordinary header is condemned.
      {"extended", "DENY", "=", "^Subject:.*", true},
      {"basic", "DENY", "=", "^Received:", true},
      {"extended", "DENY_NOCASE", "=", "^from:.*@", true},
      {"extended", "DENY", "=", "^Subject:.*(viagra|lottery)", false},
      {"extended", "DENY", "<>", "^Received:", false},  // negated: acts only without the field
      {"basic", "DENY", "=", "x\\{0,1\\}$", true},
      {"extended", "DENY", "<>", ".*", false},  // negated: satisfied by any line, never acts
      {"extended", "DENY", "=", "q+", false},  // no "q" in an ordinary header
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.syntax) + " " + c.keyword + " " + c.op + " " + c.expression);
    Settings& s = Settings::instance();
    s.resetForTesting();
    s.setRegType(c.syntax);
    s.addAllow("ALLOW", "=", ".*");  // allow rules are never refused for it
    s.addDeny(c.keyword, c.op, c.expression);
    testing::internal::CaptureStderr();
    const int code = compileRules();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code != 0, c.refused);
    EXPECT_EQ(err.empty(), !c.refused) << err;
  }
}

TEST_F(FilterRuleTest, TheRefusalNamesTheRuleAndItsLineAndStopsTheCompile) {
  Settings& s = Settings::instance();
  s.setRegType("extended");
  s.addDeny("DENY", "=", "^Subject: cheap");
  s.addDeny("DENY", "=", "(viagra|lottery|\a|)");
  s.denyRules().back().setPlace("line 7 of your main rcfile '/home/jo/.pollensiftrc'");
  s.addDeny("DENY", "=", "(bad");
  testing::internal::CaptureStderr();
  EXPECT_NE(compileRules(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "pollensift: Error: The deny rule \"(viagra|lottery|\\x07|)\" in line 7 of your main "
            "rcfile '/home/jo/.pollensiftrc' matches the empty text, so it matches every header "
            "line and would delete every message.\n");
  EXPECT_FALSE(s.denyRules()[2].compiled()) << "no rule after the refused one is compiled";
}

TEST_F(FilterRuleTest, AScoreRuleThatMatchesEveryLineAndReachesHighscoreDrawsAWarning) {
  clearWarningsForTesting();
  Settings& s = Settings::instance();
  s.setHighscore(50);
  s.addScore("SCORE", 50, "=", "x*");
  s.addScore("SCORE", 49, "=", ".*");      // below HIGHSCORE alone
  s.addScore("SCORE", 80, "<>", ".*");     // negated: never adds its points
  s.addScore("SCORE", 80, "=", "^Subject: cheap");  // matches no ordinary header either
  s.addScore("SCORE_CASE", 200, "=", "^");
  s.scoreRules().back().setPlace("line 9 of your main rcfile");
  testing::internal::CaptureStderr();
  EXPECT_EQ(compileRules(), 0) << "a warning, not an error";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "pollensift: Warning: The score rule \"x*\" matches the empty text, so it matches "
            "every header line; its 50 points alone reach HIGHSCORE 50, so every message that "
            "reaches scoring is deleted.\n"
            "pollensift: Warning: The score rule \"^\" in line 9 of your main rcfile matches the "
            "empty text, so it matches every header line; its 200 points alone reach HIGHSCORE "
            "50, so every message that reaches scoring is deleted.\n");
  clearWarningsForTesting();
}

// Zero-width parts under repetitions can make the C library's compile run for minutes in ways
// no limit on the expression foretells: such rules are compiled in a child first, bounded in time.
TEST_F(FilterRuleTest, ACompileThatTakesTooLongIsRefused) {
  Settings::instance().setRegType("extended");
  FilterRule slow("x*((b{0,3}()?$)(x{0,3}.{0,3})+){20}", 0, false);  // over a minute
  testing::internal::CaptureStderr();
  EXPECT_EQ(slow.compile(Settings::instance().regType()), REG_ESIZE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "pollensift: Error: The rule \"x*((b{0,3}()?$)(x{0,3}.{0,3})+){20}\" cannot be matched "
            "safely: the C library cannot compile it within 2 seconds.\n");
  EXPECT_FALSE(slow.compiled());

  // The same shape, small, passes the trial and is compiled and matched as any rule.
  FilterRule quick("y((b{0,3}()?$)(x{0,3}.{0,3})+){2}", 0, false);
  ASSERT_EQ(quick.compile(Settings::instance().regType()), 0);
  EXPECT_TRUE(quick.compiled());
  EXPECT_TRUE(quick.matches("ab y"));
  EXPECT_FALSE(quick.matches("ab y z"));
}

TEST_F(FilterRuleTest, MovedRulesFreeTheirPatternOnce) {
  std::vector<FilterRule> rules;
  for (int i = 0; i < 50; ++i) {
    rules.emplace_back("^From:.*x" + std::to_string(i), REG_ICASE, false);
    ASSERT_EQ(rules.back().compile(Settings::instance().regType()), 0);
  }
  std::vector<FilterRule> moved = std::move(rules);
  FilterRule other("y", 0, false);
  other = std::move(moved[3]);
  EXPECT_TRUE(other.matches("From: X3"));
  EXPECT_FALSE(moved[3].compiled());
}

// A rule the engine takes drops the C library's pattern after compile and compiles it again when
// something asks; one the engine cannot take keeps it. Either way it answers as the library does,
// also after a move (the sanitizer build checks that each pattern is freed once).
TEST_F(FilterRuleTest, OnlyRulesTheEngineCannotTakeKeepTheirPattern) {
  struct Case {
    const char* expression;
    int cflags;
    bool kept;
    const char* yes;
    const char* no;
  };
  const Case cases[] = {
      {"^Subject:.*(win|gagn)[^a-z]{1,3}[0-9]{2,6}", REG_EXTENDED | REG_ICASE, false,
       "SUBJECT: you WIN! 100", "Subject: win 1"},
      {"^Subject: \\(ab\\)\\1", 0, true, "Subject: abab", "Subject: abba"},
      {"x*", REG_EXTENDED, false, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    FilterRule rule(c.expression, c.cflags, false);
    ASSERT_EQ(rule.compile(0), 0);
    EXPECT_EQ(rule.holdsPattern(), c.kept);
    EXPECT_EQ(rule.matchesEmpty(), std::string(c.yes).empty());
    EXPECT_TRUE(rule.matches(c.yes));
    EXPECT_TRUE(rule.holdsPattern());
    if (c.no != nullptr) {
      EXPECT_FALSE(rule.matches(c.no));
    }
    const std::string line = std::string(c.yes) + '\0' + "tail";
    EXPECT_TRUE(rule.matchesRange(line, line.size()));
    FilterRule moved = std::move(rule);
    EXPECT_TRUE(moved.matches(c.yes));
    EXPECT_FALSE(rule.holdsPattern());  // NOLINT(bugprone-use-after-move): the move hands it on
    ASSERT_EQ(moved.compile(0), 0);     // compiling again frees what it held first
    EXPECT_EQ(moved.holdsPattern(), c.kept);
  }
}

TEST_F(FilterRuleTest, RegTypeRejectsOtherValues) {
  setFatalHandler([](const std::string& text, int status) { throw FatalExit(text, status); });
  try {
    Settings::instance().setRegType("perl");
    ADD_FAILURE() << "no fatal error";
  } catch (const FatalExit& e) {
    EXPECT_STREQ(e.what(),
                 "pollensift: Error: Regular expressions must either be of type 'extended', or "
                 "'basic'.\n");
  }
  setFatalHandler(nullptr);
}

}  // namespace
