// The rule matcher against the C library's matcher, rule by rule and line by line: for generated
// rules (both syntaxes, both case forms) and for generated and real header lines, the set of
// rules the matcher reports for a line must be exactly the set whose regexec matches it.
// POLLENSIFT_DIFFERENTIAL_PAIRS raises the number of (rule, line) pairs for a long run by hand.
#include <gtest/gtest.h>
#include <regex.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "rules/expression_generator.h"
#include "rules/filter_rule.h"
#include "rules/rule_matcher.h"

namespace {

// The unfolded header lines of the fixture messages, as the filter sees them.
std::vector<std::string> fixtureLines() {
  std::vector<std::string> lines;
  for (const auto& entry :
       std::filesystem::directory_iterator(POLLENSIFT_SOURCE_DIR "/tests/fixtures/mail")) {
    std::ifstream in(entry.path(), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) break;
      if ((line[0] == ' ' || line[0] == '\t') && !lines.empty()) {
        lines.back() += line;
      } else {
        lines.push_back(line);
      }
    }
  }
  return lines;
}

long pairBudget() {
  const char* text = std::getenv("POLLENSIFT_DIFFERENTIAL_PAIRS");
  return text != nullptr ? std::atol(text) : 60000;
}

struct Tally {
  long pairs = 0, matches = 0, fallback_rules = 0, rules = 0;
};

// One set of rules in one syntax over the real lines given and lines made of the rules' words;
// every disagreement is reported.
void compare(ExpressionGenerator& generator, bool extended, std::vector<std::string> lines,
             int rule_count, Tally& tally) {
  Settings::instance().setRegType(extended ? "extended" : "basic");
  std::vector<FilterRule> rules;
  while (static_cast<int>(rules.size()) < rule_count) {
    const int cflags = generator.chance(50) ? REG_ICASE : 0;
    std::string expression = generator.expression(extended);
    if (!compiles(expression, (extended ? REG_EXTENDED : 0) | cflags)) continue;
    generator.learnWords(expression);
    FilterRule rule(std::move(expression), cflags, false);
    ASSERT_EQ(rule.compile(Settings::instance().regType()), 0);
    rules.push_back(std::move(rule));
  }
  for (int i = 0; i < 60; ++i) lines.push_back(generator.line());
  std::vector<const FilterRule*> pointers;
  for (const FilterRule& rule : rules) pointers.push_back(&rule);
  RuleMatcher matcher(pointers);
  for (size_t i = 0; i < rules.size(); ++i)
    tally.fallback_rules += !matcher.fallbackReason(i).empty();
  tally.rules += rule_count;

  std::vector<uint32_t> found;
  for (const std::string& line : lines) {
    matcher.match(line, found);
    // A rule the C library keeps sees the start of a long line only.
    const std::string start = line.substr(0, kFallbackLineBytes);
    for (uint32_t r = 0; r < rules.size(); ++r) {
      const bool expected = rules[r].matches(matcher.fallbackReason(r).empty() ? line : start);
      const bool got = std::binary_search(found.begin(), found.end(), r);
      tally.matches += expected;
      ++tally.pairs;
      if (expected != got) {
        ADD_FAILURE() << (extended ? "extended" : "basic")
                      << (rules[r].cflags() ? ", case ignored" : ", case kept")
                      << "\nrule:        " << testing::PrintToString(rules[r].expression())
                      << "\ntranslation: " << testing::PrintToString(rules[r].translation())
                      << "\nfallback:    " << rules[r].fallbackReason()
                      << "\nline:        " << testing::PrintToString(line) << "\nregexec says "
                      << expected;
        return;
      }
    }
  }
}

TEST(RuleMatcherDifferentialTest, SameVerdictAsTheCLibraryForEveryRuleAndLine) {
  Settings::instance().resetForTesting();
  const std::vector<std::string> real = fixtureLines();
  ASSERT_FALSE(real.empty());
  const long budget = pairBudget();
  Tally tally;
  for (uint32_t seed = 1; tally.pairs < budget && !HasFailure(); ++seed) {
    ExpressionGenerator generator(seed);
    std::vector<std::string> lines;
    for (int i = 0; i < 20; ++i)
      lines.push_back(real[generator.below(static_cast<uint32_t>(real.size()))]);
    for (const std::string& line : lines) generator.learnWords(line);
    compare(generator, seed % 2 == 0, std::move(lines), 50, tally);
  }
  Settings::instance().resetForTesting();
  std::printf("%ld pairs, %ld matching; %ld of %ld rules kept the C library's matcher\n",
              tally.pairs, tally.matches, tally.fallback_rules, tally.rules);
  // The comparison saw both answers and both paths.
  EXPECT_GT(tally.matches, tally.pairs / 100);
  EXPECT_LT(tally.matches, tally.pairs / 2);
  EXPECT_GT(tally.fallback_rules, 0);
  EXPECT_LT(tally.fallback_rules, tally.rules / 4);
}

}  // namespace
