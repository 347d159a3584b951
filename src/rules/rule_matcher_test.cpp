#include "rules/rule_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/settings.h"
#include "rules/filter_rule.h"

namespace {

// Rules of one field whose heads have the same length but not the same bytes are scanned
// together; a rule must still match only lines that carry its own head.
TEST(RuleMatcherTest, RulesOfHeadsOfOneLengthMatchOnlyUnderTheirOwnHead) {
  Settings::instance().resetForTesting();
  Settings::instance().setRegType("extended");
  std::vector<FilterRule> rules;
  rules.emplace_back("^Subject:.*cheap", 0, false);          // 0: this head's case only
  rules.emplace_back("^SUBJECT:.*cheap", 0, false);          // 1: upper case only
  rules.emplace_back("^Subject:.*cheap", REG_ICASE, false);  // 2: any case
  rules.emplace_back("^Subject: .*pills", 0, false);         // 3: a longer head
  rules.emplace_back("^subject:.*(x|pills)", 0, false);      // 4: lower case only
  for (FilterRule& rule : rules) ASSERT_EQ(rule.compile(Settings::instance().regType()), 0) << rule.expression();
  std::vector<const FilterRule*> pointers;
  for (const FilterRule& rule : rules) pointers.push_back(&rule);
  RuleMatcher matcher(pointers);

  const struct {
    std::string line;
    std::vector<uint32_t> expected;
  } cases[] = {
      {"Subject: cheap", {0, 2}},
      {"SUBJECT: cheap", {1, 2}},
      {"SUBJECT: CHEAP", {2}},
      {"subject: cheap pills", {2, 4}},
      {"Subject: cheap pills", {0, 2, 3}},
      {"Subject:pills", {}},
      {"SuBjEcT: CheaP", {2}},
      {"Subject: nothing", {}},
      {"From: cheap", {}},
  };
  std::vector<uint32_t> found;
  for (const auto& c : cases) {
    matcher.match(c.line, found);
    EXPECT_EQ(found, c.expected) << c.line;
    for (uint32_t r = 0; r < rules.size(); ++r) {
      const bool listed = std::find(found.begin(), found.end(), r) != found.end();
      EXPECT_EQ(listed, rules[r].matches(c.line)) << c.line << " / " << rules[r].expression();
    }
  }
  Settings::instance().resetForTesting();
}

}  // namespace

namespace {

std::vector<uint32_t> matched(const std::string& line) {
  std::vector<uint32_t> found;
  compiledRuleMatcher().match(line, found);
  return found;
}

// A run builds the matcher on another thread while it contacts the first server; what the run
// then matches with must be the matcher of the rules as they are, however the builds interleave.
TEST(RuleMatcherTest, BackgroundBuildGivesTheMatcherOfTheRulesAsTheyAre) {
  Settings& s = Settings::instance();
  s.resetForTesting();
  s.setRegType("extended");
  s.addAllow("ALLOW", "=", "^From:.*@friends\\.example");
  s.addDeny("DENY", "=", "^Subject:.*(lottery|casino)");
  s.addScore("SCORE", 10, "=", "pills\\.example");
  ASSERT_EQ(compileRules(MatcherBuild::kInBackground), 0);
  EXPECT_EQ(matched("Subject: Casino night"), (std::vector<uint32_t>{1}));
  EXPECT_EQ(matched("From: x@friends.example (via pills.example)"), (std::vector<uint32_t>{0, 2}));

  // Compiling again while a build runs waits for it; the matcher then follows the new syntax.
  ASSERT_EQ(compileRules(MatcherBuild::kInBackground), 0);
  s.setRegType("basic");
  ASSERT_EQ(compileRules(MatcherBuild::kInBackground), 0);
  EXPECT_EQ(matched("Subject: Casino night"), (std::vector<uint32_t>{}));
  EXPECT_EQ(matched("Subject: (lottery|casino)"), (std::vector<uint32_t>{1}));

  // Rules compiled again after a build was taken get a matcher of their own.
  s.setRegType("extended");
  buildRuleMatcherInBackground();
  awaitRuleMatcherBuild();
  ASSERT_EQ(compileRules(), 0);
  s.addDeny("DENY", "=", "^Subject:.*night");
  ASSERT_EQ(compileRules(MatcherBuild::kInBackground), 0);
  EXPECT_EQ(matched("Subject: Casino night"), (std::vector<uint32_t>{1, 2}));
  s.resetForTesting();
}

// A run with a state file leaves the build until a message is to be judged: the matcher asked
// for then, prepared or not, is that of the rules as they are, and preparing twice or after the
// build builds nothing stale.
TEST(RuleMatcherTest, BuildLeftUntilNeededGivesTheMatcherOfTheRulesAsTheyAre) {
  Settings& s = Settings::instance();
  s.resetForTesting();
  s.setRegType("extended");
  s.addDeny("DENY", "=", "^Subject:.*(lottery|casino)");
  ASSERT_EQ(compileRules(MatcherBuild::kWhenNeeded), 0);
  EXPECT_EQ(matched("Subject: Casino night"), (std::vector<uint32_t>{0}));

  s.addDeny("DENY", "=", "^Subject:.*night");
  ASSERT_EQ(compileRules(MatcherBuild::kWhenNeeded), 0);
  prepareRuleMatcher();
  prepareRuleMatcher();
  EXPECT_EQ(matched("Subject: Casino night"), (std::vector<uint32_t>{0, 1}));
  const unsigned long generation = compiledRuleMatcher().generation();
  prepareRuleMatcher();
  EXPECT_EQ(compiledRuleMatcher().generation(), generation);

  s.setRegType("basic");
  ASSERT_EQ(compileRules(MatcherBuild::kWhenNeeded), 0);
  prepareRuleMatcher();
  EXPECT_EQ(matched("Subject: Casino night"), (std::vector<uint32_t>{1}));
  s.resetForTesting();
}

}  // namespace
