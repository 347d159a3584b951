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
  long pairs = 0, matches = 0, fallback_rules = 0, own_rules = 0, rules = 0, several_fields = 0;
};

// The start of a rule of the mixed shape: one of several field names, most of them spelled out,
// so that the rule belongs to each of their fields; then anything, and often a counted repetition
// (behind a word, or of a group that holds one) that sets the rule apart from the rest.
std::string mixedStart(ExpressionGenerator& generator, bool extended) {
  static const char* const kNames[][2] = {
      {"(Subject|From|To)", "\\(Subject\\|From\\|To\\)"},
      {"(From|To|Cc)", "\\(From\\|To\\|Cc\\)"},
      {"(subject|SUBJECT)", "\\(subject\\|SUBJECT\\)"},     // one field twice: of none
      {"(Re|Sub)ject", "\\(Re\\|Sub\\)ject"},              // names that end after the group
      {"(X-[a-z]*|To)", "\\(X-[a-z]*\\|To\\)"},               // one not spelled out: of none
      {"(To:|From)", "\\(To:\\|From\\)"},                    // a colon inside: of none
  };
  static const char* const kCounted[][2] = {
      {"", ""},
      {"[a-z0-9._-]{2,5}", "[a-z0-9._-]\\{2,5\\}"},
      {"(ab[ !]*){2,3}", "\\(ab[ !]*\\)\\{2,3\\}"},
      {"[0-9]{1,3}x", "[0-9]\\{1,3\\}x"},
  };
  const int syntax = extended ? 0 : 1;
  std::string start = std::string("^") + kNames[generator.below(6)][syntax] + ":";
  if (generator.chance(80)) start += ".*";
  return start + kCounted[generator.below(4)][syntax];
}

enum class Shape { kPlain, kCounted, kMixed };

// One set of rules in one syntax over the real lines given and lines made of the rules' words;
// every disagreement is reported.
// kCounted starts each expression with a counted repetition that may start anywhere, so that
// enough rules of a set are matched on their own; kMixed starts half of them as mixedStart().
void compare(ExpressionGenerator& generator, bool extended, std::vector<std::string> lines,
             int rule_count, Shape shape, Tally& tally) {
  Settings::instance().setRegType(extended ? "extended" : "basic");
  std::vector<FilterRule> rules;
  while (static_cast<int>(rules.size()) < rule_count) {
    const int cflags = generator.chance(50) ? REG_ICASE : 0;
    std::string expression = generator.expression(extended);
    if (shape == Shape::kCounted)
      expression = (extended ? "[a-z0-9._-]{2,5}" : "[a-z0-9._-]\\{2,5\\}") + expression;
    if (shape == Shape::kMixed && generator.chance(50))
      expression = mixedStart(generator, extended) + expression;
    if (!compiles(expression, (extended ? REG_EXTENDED : 0) | cflags)) continue;
    generator.learnWords(expression);
    FilterRule rule(std::move(expression), cflags, false);
    ASSERT_EQ(rule.compile(Settings::instance().regType()), 0);
    rules.push_back(std::move(rule));
  }
  for (int i = 0; i < 60; ++i) lines.push_back(generator.line());
  if (shape == Shape::kMixed) {
    static const char* const kFields[] = {"Subject: ", "From:", "TO: ", "cc:", "Reject: ",
                                          "X-ab: ",   "To:: ", "Subject:ab ab!x"};
    for (int i = 0; i < 40; ++i) {
      lines.push_back(kFields[generator.below(8)] + (generator.chance(50) ? generator.line() : ""));
    }
  }
  // A NUL ends what the C library sees; a newline inside a line must not split it in two where
  // the lines of a header are searched together.
  for (int i = 0; i < 4; ++i) {
    const std::string& a = lines[generator.below(static_cast<uint32_t>(lines.size()))];
    const std::string& b = lines[generator.below(static_cast<uint32_t>(lines.size()))];
    lines.push_back(a + (i % 2 == 0 ? std::string("\n") : std::string(1, '\0')) + b);
  }
  std::vector<const FilterRule*> pointers;
  for (const FilterRule& rule : rules) pointers.push_back(&rule);
  RuleMatcher matcher(pointers);
  // The sets of rules matched on their own are compiled when first needed, or all at once.
  if (generator.chance(50)) matcher.buildEverything();
  for (size_t i = 0; i < rules.size(); ++i) {
    tally.fallback_rules += !matcher.fallbackReason(i).empty();
    tally.own_rules += matcher.matchedOnItsOwn(i);
    tally.several_fields += rules[i].translated().fields.size() > 1;
  }
  tally.rules += rule_count;

  std::vector<uint32_t> found;
  // What matchEach gave for the lines from here on; `next` is the next one's place in it.
  RuleMatcher::EachMatch each;
  size_t next = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    matcher.match(line, found);
    // The same lines as parts of headers, searched together, give the same rules each.
    if (next == each.ends.size() || generator.chance(20)) {
      const auto most = static_cast<uint32_t>(std::min<size_t>(lines.size() - i, 30));
      const size_t count = 1 + generator.below(most);
      matcher.matchEach(std::vector<std::string>(lines.begin() + static_cast<long>(i),
                                                 lines.begin() + static_cast<long>(i + count)),
                        each);
      next = 0;
    }
    const std::span<const uint32_t> span = each.of(next++);
    const std::vector<uint32_t> together(span.begin(), span.end());
    if (together != found) {
      ADD_FAILURE() << "the line searched with others gives other rules than on its own\nline: "
                    << testing::PrintToString(line);
      return;
    }
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
    const Shape shape = seed % 3 == 0 ? Shape::kCounted
                        : seed % 3 == 1 ? Shape::kMixed
                                        : Shape::kPlain;
    compare(generator, seed % 2 == 0, std::move(lines), 50, shape, tally);
  }
  Settings::instance().resetForTesting();
  std::printf(
      "%ld pairs, %ld matching; %ld of %ld rules kept the C library's matcher, %ld were matched "
      "on their own, %ld belonged to several fields\n",
      tally.pairs, tally.matches, tally.fallback_rules, tally.rules, tally.own_rules,
      tally.several_fields);
  // The comparison saw both answers and both paths.
  EXPECT_GT(tally.matches, tally.pairs / 100);
  EXPECT_LT(tally.matches, tally.pairs / 2);
  EXPECT_GT(tally.fallback_rules, 0);
  EXPECT_LT(tally.fallback_rules, tally.rules / 4);
  EXPECT_GT(tally.own_rules, 0);
  EXPECT_GT(tally.several_fields, 0);
}

// Rules with counted repetitions that may start anywhere are matched on their own where a line
// holds their literals, once there are enough of them to make a set heavy: the literals are found
// in the line with its ASCII letters lower-cased, so case, bytes above 127, a NUL before the
// literal and a literal at the line's very end must all give regexec's answer. Rules whose
// repetitions stand behind a rare byte or three letters, or that demand no literal, stay in the
// sets.
TEST(RuleMatcherDifferentialTest, RulesMatchedOnTheirOwnAgreeWithTheCLibrary) {
  Settings::instance().resetForTesting();
  Settings::instance().setRegType("extended");
  struct Case {
    std::string expression;
    int cflags;
    bool own;
  };
  std::vector<Case> cases = {
      {"^Subject:.*[a-z0-9._-]{2,6}@[a-z-]{0,4}Spam1\\.", 0, true},
      {"^Subject:.*[a-z0-9._-]{2,6}@[a-z-]{0,4}Spam1\\.", REG_ICASE, true},
      {"^From:.*[a-z]{0,2}\xc9" "cole[0-9]{1,3}", 0, true},
      {"^From:.*[a-z]{0,2}\xc9" "cole[0-9]{1,3}", REG_ICASE, true},
      {"[^a-z]{1,3}gagn[0-9]{2,4}", REG_ICASE, true},           // no field
      {"(win|gagn)[^a-z]{1,3}[0-9]{2,4}", 0, false},            // no literal outside a group
      {"^Received:.*e[0-9]{1,3}\\.2\\.[0-9]{1,3}\\]", 0, true},  // behind one letter
      {"^Received:.*\\[[0-9]{1,3}\\.2\\.[0-9]{1,3}\\]", 0, false},  // behind a rare byte
      {"offer.{0,3}now$", REG_ICASE, false},                          // behind five letters
      {"z.{0,2}n.{0,2}d", 0, false},                                  // no literal at all
      {"^Subject:.*(cash[ !]*){2,3}[0-9]{2}", REG_ICASE, true},       // a literal in a group
      {"^Subject:.*(cash[ !]*){0,3}[0-9]{2,4}x", 0, false},           // that may be left out
      {"^(Subject|From):.*[a-z]{2,6}@[a-z-]{0,4}zorg1\\.", 0, true},  // of two fields
  };
  // Enough rules of the heavy kind that they leave the sets.
  for (int k = 0; k < 16; ++k)
    cases.push_back({"^From:.*[a-z0-9]{3,8}@x" + std::to_string(k) + "yz\\.", 0, true});
  const std::vector<std::string> lines = {
      "Subject: hi ab.c@spam1.example",        "Subject: hi ab.c@xSPAM1.example",
      "Subject: hi ab.c@Spam1.example",        "Subject: hi abcdefgh@Spam1.example",
      "SUBJECT: x@Spam1.",                     "Subject: x@Spam1",
      "From: \xc9" "cole12 <a@b>",              "From: \xe9" "cole12 <a@b>",
      "From: ECOLE12",                         "from: \xc9" "COLE1",
      "X: WIN -- 1234",                        "X: gagn!!12",
      "X: win 1",                              "X: !!GAGN12",
      "X: gagn1",                              "Received: from a [10.2.3]",
      "Received: from a [10.2.3.4]",           "Received: from a [1000.2.3]",
      "Received: from e10.2.3]",               "Received: from E10.2.3]",
      "Subject: OFFER!! NOW",                  "Subject: offer now later",
      "Subject: zxxnyd",                       "Subject: zxxxnd",
      "From: abc@x7yz.example",                "From: ab@x7yz.example",
      "From: <someone@X12yz.>",                std::string("From: abcd@x3yz\0.", 17),
      std::string("Subject: a@Spam1\0.x", 19), std::string("X: win\0 12", 10),
      "Subject: CASH!! cash 12",               "Subject: cash 12",
      "Subject: cash cash 1",                  "Subject: 123x",
      "From: jo@zorg1.example",                "Subject: jo@Xzorg1.example",
      "To: jo@zorg1.example",                  "From: j@zorg1.example",
  };
  std::vector<FilterRule> rules;
  for (const Case& c : cases) {
    FilterRule rule(c.expression, c.cflags, false);
    ASSERT_EQ(rule.compile(Settings::instance().regType()), 0) << c.expression;
    rules.push_back(std::move(rule));
  }
  std::vector<const FilterRule*> pointers;
  for (const FilterRule& rule : rules) pointers.push_back(&rule);
  RuleMatcher matcher(pointers);
  for (size_t r = 0; r < rules.size(); ++r)
    EXPECT_EQ(matcher.matchedOnItsOwn(r), cases[r].own) << rules[r].expression();
  // Too few to be heavy: all stay in the sets.
  pointers.resize(10);
  RuleMatcher few(pointers);
  for (size_t r = 0; r < pointers.size(); ++r) EXPECT_FALSE(few.matchedOnItsOwn(r));
  long matches = 0;
  std::vector<uint32_t> found, found_few;
  for (const std::string& line : lines) {
    matcher.match(line, found);
    few.match(line, found_few);
    for (uint32_t r = 0; r < rules.size(); ++r) {
      const bool expected = rules[r].matches(line);
      matches += expected;
      EXPECT_EQ(std::binary_search(found.begin(), found.end(), r), expected)
          << rules[r].expression() << (rules[r].cflags() ? " (case ignored)" : "") << " on "
          << testing::PrintToString(line);
      if (r < pointers.size()) {
        EXPECT_EQ(std::binary_search(found_few.begin(), found_few.end(), r), expected)
            << "in the sets: " << rules[r].expression() << " on " << testing::PrintToString(line);
      }
    }
  }
  EXPECT_GT(matches, 12);
  Settings::instance().resetForTesting();
}

// Rules that are a start anchor and plain bytes are compared byte by byte, not searched: case,
// bytes above 127, a line as long as the rule or shorter, a NUL inside it and rules that differ
// from those only by a last part must all give regexec's answer.
TEST(RuleMatcherDifferentialTest, RulesOfAnchoredBytesAloneAgreeWithTheCLibrary) {
  Settings::instance().resetForTesting();
  Settings::instance().setRegType("extended");
  const std::vector<std::pair<std::string, int>> cases = {
      {"^Received:", 0},          {"^received:", REG_ICASE},   {"^X-Spam-Flag: YES", 0},
      {"^X-Spam-Flag: yes", REG_ICASE}, {"^X-\\A1: \xe9t\xc9", 0}, {"^X-Priority: 1$", 0},
      {"^X-Priority: 1.", 0},     {"^(X-Priority): 1", 0},
  };
  const std::vector<std::string> lines = {
      "Received: from a",  "RECEIVED:",           "Received",          "received: x",
      "Receiver: x",       "X-Spam-Flag: YES",    "X-Spam-Flag: yes!", "X-SPAM-FLAG: Yes",
      "X-Spam-Flag: YE",   "X-\\A1: \xe9t\xc9",  "X-\\A1: \xc9t\xc9",   "X-Priority: 1",
      "X-Priority: 12",    std::string("X-Spam-Flag: Y\0ES", 17), std::string("Received\0:", 10),
  };
  std::vector<FilterRule> rules;
  for (const auto& [expression, cflags] : cases) {
    FilterRule rule(expression, cflags, false);
    ASSERT_EQ(rule.compile(Settings::instance().regType()), 0) << expression;
    rules.push_back(std::move(rule));
  }
  std::vector<const FilterRule*> pointers;
  for (const FilterRule& rule : rules) pointers.push_back(&rule);
  RuleMatcher matcher(pointers);
  RuleMatcher::EachMatch each;
  matcher.matchEach(lines, each);
  long matches = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    for (uint32_t r = 0; r < rules.size(); ++r) {
      const bool expected = rules[r].matches(lines[i]);
      matches += expected;
      EXPECT_EQ(std::binary_search(each.of(i).begin(), each.of(i).end(), r), expected)
          << rules[r].expression() << (rules[r].cflags() ? " (case ignored)" : "") << " on "
          << testing::PrintToString(lines[i]);
    }
  }
  EXPECT_GT(matches, 8);
  Settings::instance().resetForTesting();
}

}  // namespace
