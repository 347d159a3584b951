#include "filter/rule_index.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/filter_rule.h"
#include "config/settings.h"
#include "filter/expression_generator.h"

namespace {

// Compiles expression as a rule of the given syntax and case, the way the program does.
FilterRule compiledRule(const std::string& expression, bool extended, int case_flag) {
  Settings::instance().setRegType(extended ? "extended" : "basic");
  FilterRule rule(expression, case_flag, false);
  EXPECT_EQ(rule.compile(), 0) << testing::PrintToString(expression);
  return rule;
}

std::vector<RuleIndex::Pattern> patternsOf(const std::vector<FilterRule>& rules) {
  std::vector<RuleIndex::Pattern> patterns;
  for (const FilterRule& rule : rules) patterns.push_back({rule.expression(), rule.compileFlags()});
  return patterns;
}

std::vector<uint32_t> candidates(RuleIndex& index, const std::string& text) {
  std::vector<uint32_t> out;
  index.candidates(text, out);
  return out;
}

class RuleIndexTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings::instance().resetForTesting(); }
};

TEST_F(RuleIndexTest, CandidatesInListOrder) {
  std::vector<FilterRule> rules;
  rules.push_back(compiledRule("^Subject:.*viagra", false, REG_ICASE));
  rules.push_back(compiledRule("(a)\\1", true, 0));  // not analysed: always a candidate
  rules.push_back(compiledRule("^Received:.*\\[10\\.0\\.3\\.", true, 0));
  rules.push_back(compiledRule("viagra", false, 0));
  rules.push_back(compiledRule("^(Date|To):", true, REG_ICASE));
  RuleIndex index(patternsOf(rules));
  EXPECT_EQ(index.unindexed(), 1u);

  const std::pair<std::string, std::vector<uint32_t>> cases[] = {
      // A case-sensitive rule stays a candidate for another case: regexec decides.
      {"Subject: cheap VIAGRA", {0, 1, 3}},
      {"X-Subject: viagra", {1, 3}},
      {"Received: from [10.0.3.4]", {1, 2}},
      {"Received: from [10.0.4.3]", {1}},
      {"DATE: today", {1, 4}},
      {"Reply-To: ann", {1}},
      // regexec stops at a NUL, and so does the scan.
      {std::string("Subject: a\0viagra", 17), {1}},
      {"", {1}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(candidates(index, text), expected) << testing::PrintToString(text);
    for (uint32_t r = 0; r < rules.size(); ++r) {
      if (rules[r].matches(text)) {
        EXPECT_TRUE(std::binary_search(expected.begin(), expected.end(), r));
      }
    }
  }
}

TEST_F(RuleIndexTest, EmptyListAndRulesWithoutLiterals) {
  RuleIndex empty(std::vector<RuleIndex::Pattern>{});
  EXPECT_TRUE(candidates(empty, "Subject: x").empty());
  std::vector<FilterRule> rules;
  rules.push_back(compiledRule(".*", true, 0));
  rules.push_back(compiledRule("x", true, 0));
  rules.push_back(compiledRule("[[:alpha:]]", true, 0));
  RuleIndex index(patternsOf(rules));
  EXPECT_EQ(candidates(index, "Subject: y"), (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(candidates(index, "Subject: x"), (std::vector<uint32_t>{0, 1, 2}));
}

// The property the filter relies on, over generated expressions of both syntaxes and both case
// flags and generated lines: a rule that is not a candidate for a line does not match it.
TEST_F(RuleIndexTest, LeavesOutOnlyRulesThatCannotMatch) {
  long pairs = 0;
  long matched = 0;
  long left_out = 0;
  int failures = 0;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    ExpressionGenerator generator(seed);
    std::vector<FilterRule> rules;
    while (rules.size() < 400) {
      const bool extended = generator.chance(50);
      const int case_flag = generator.chance(50) ? REG_ICASE : 0;
      const std::string expression = generator.expression(extended);
      if (!compiles(expression, (extended ? REG_EXTENDED : 0) | case_flag)) continue;
      rules.push_back(compiledRule(expression, extended, case_flag));
      generator.learnWords(expression);
    }
    RuleIndex index(patternsOf(rules));
    std::vector<uint32_t> found;
    for (int l = 0; l < 250; ++l) {
      const std::string line = generator.line();
      index.candidates(line, found);
      for (uint32_t r = 0; r < rules.size(); ++r) {
        const bool candidate = std::binary_search(found.begin(), found.end(), r);
        const bool match = rules[r].matches(line);
        ++pairs;
        matched += match;
        left_out += !candidate;
        if (match && !candidate && ++failures <= 10) {
          ADD_FAILURE() << "seed " << seed << ": " << testing::PrintToString(rules[r].expression())
                        << " (flags " << rules[r].compileFlags() << ") matches "
                        << testing::PrintToString(line) << " but was left out";
        }
      }
    }
  }
  EXPECT_EQ(failures, 0);
  // Only meaningful when both outcomes are common.
  EXPECT_GT(matched, pairs / 50) << matched << " of " << pairs;
  EXPECT_GT(left_out, pairs / 2) << left_out << " of " << pairs;
}

}  // namespace
