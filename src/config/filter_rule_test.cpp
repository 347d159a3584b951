#include "config/filter_rule.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/fatal.h"
#include "config/settings.h"

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

// Zero-width parts under repetitions can make the C library's compile run for minutes in ways
// no limit on the expression foretells: such rules are compiled in a child first, bounded in time.
TEST_F(FilterRuleTest, ACompileThatTakesTooLongIsRefused) {
  Settings::instance().setRegType("extended");
  FilterRule slow("x*((b{0,3}()?$)(x{0,3}.{0,3})+){20}", 0, false);  // over a minute
  testing::internal::CaptureStderr();
  EXPECT_EQ(slow.compile(), REG_ESIZE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "pollensift: Error: The rule \"x*((b{0,3}()?$)(x{0,3}.{0,3})+){20}\" cannot be matched "
            "safely: the C library cannot compile it within 2 seconds.\n");
  EXPECT_FALSE(slow.compiled());

  // The same shape, small, passes the trial and is compiled and matched as any rule.
  FilterRule quick("y((b{0,3}()?$)(x{0,3}.{0,3})+){2}", 0, false);
  ASSERT_EQ(quick.compile(), 0);
  EXPECT_TRUE(quick.compiled());
  EXPECT_TRUE(quick.matches("ab y"));
  EXPECT_FALSE(quick.matches("ab y z"));
}

TEST_F(FilterRuleTest, MovedRulesFreeTheirPatternOnce) {
  std::vector<FilterRule> rules;
  for (int i = 0; i < 50; ++i) {
    rules.emplace_back("^From:.*x" + std::to_string(i), REG_ICASE, false);
    ASSERT_EQ(rules.back().compile(), 0);
  }
  std::vector<FilterRule> moved = std::move(rules);
  FilterRule other("y", 0, false);
  other = std::move(moved[3]);
  EXPECT_TRUE(other.matches("From: X3"));
  EXPECT_FALSE(moved[3].compiled());
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
