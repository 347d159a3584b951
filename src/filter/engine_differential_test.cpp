// The filter with the rule engine and with every rule's C library pattern run on every line,
// over generated rules and headers and over the fixture corpus: every verdict and every line must
// be the same.
#include <gtest/gtest.h>
#include <regex.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/rc_file.h"
#include "config/settings.h"
#include "filter/filter_engine.h"
#include "header/message_header.h"
#include "header/parse_header.h"
#include "rules/expression_generator.h"
#include "rules/rules.h"

namespace {

using Headers = std::vector<std::unique_ptr<MessageHeader>>;

struct Outcome {
  std::vector<int> verdicts;
  std::vector<std::string> lines;  // without their time stamps
};

Outcome judge(const Headers& headers, bool engine_on) {
  FilterEngine& engine = FilterEngine::instance();
  engine.resetForTesting();
  engine.setRuleEngine(engine_on);
  Outcome outcome;
  testing::internal::CaptureStdout();
  for (const auto& header : headers) outcome.verdicts.push_back(engine.filter(header.get()));
  std::istringstream out(testing::internal::GetCapturedStdout());
  engine.setRuleEngine(true);
  for (std::string line; std::getline(out, line);) outcome.lines.push_back(line.substr(15));
  return outcome;
}

// Kinds of verdict line seen over a whole test, so that it can tell it compared something.
struct Seen {
  int allow = 0, negative_allow = 0, deny = 0, normalised = 0, negative_deny = 0, score = 0,
      negative_score = 0;

  void count(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
      const bool rule_match = line.find("\" matches \"") != std::string::npos;
      if (line.find(" Allow: ") != std::string::npos) {
        (rule_match ? allow : negative_allow) += 1;
      } else if (line.find(" Score: \"") != std::string::npos) {
        ++score;
      } else if (line.find(" Score: <> ") != std::string::npos) {
        ++negative_score;
      } else if (line.find("(normalised)].") != std::string::npos) {
        ++normalised;
      } else if (line.find("Negative deny rule") != std::string::npos) {
        ++negative_deny;
      } else if (rule_match) {
        ++deny;
      }
    }
  }
};

void expectSame(const Headers& headers, const std::string& what, Seen& seen) {
  const Outcome with = judge(headers, true);
  const Outcome without = judge(headers, false);
  EXPECT_EQ(with.verdicts, without.verdicts) << what;
  EXPECT_EQ(with.lines, without.lines) << what;
  seen.count(without.lines);
}

// The case flag the rule gets, as the adders give it with REG_CASE unset.
int caseFlag(const std::string& keyword) {
  if (keyword.find("_case") != std::string::npos) return 0;
  return REG_ICASE;
}

// Whether a rule matches the empty text, and so every header line, or a line of an ordinary
// header; such a positive deny rule is refused at start-up.
bool matchesEmptyText(const std::string& expression, int cflags) {
  regex_t pattern;
  if (regcomp(&pattern, expression.c_str(), cflags | REG_NOSUB) != 0) return false;
  bool matched = regexec(&pattern, "", 0, nullptr, 0) == 0;
  for (const char* line : ordinaryHeaderLines()) {
    matched = matched || regexec(&pattern, line, 0, nullptr, 0) == 0;
  }
  regfree(&pattern);
  return matched;
}

// count random rules, each one that compiles under the configured syntax. The mix of kinds and
// how many are negative differ from seed to seed: a set full of allow rules or of negative rules
// decides every header early and would leave the later checks untested.
void addRules(ExpressionGenerator& generator, int count) {
  Settings& settings = Settings::instance();
  const bool extended = settings.regType() == REG_EXTENDED;
  const int allow_percent = static_cast<int>(generator.below(3)) * 10;
  const int deny_percent = static_cast<int>(generator.below(4)) * 10;
  const int negative_percent = generator.chance(50) ? 0 : 15;
  static const char* const kSuffixes[] = {"", "_case", "_nocase"};
  for (int added = 0; added < count;) {
    const std::string suffix = kSuffixes[generator.below(3)];
    const std::string expression = generator.expression(extended);
    const int kind = static_cast<int>(generator.below(100));
    const bool allow = kind < allow_percent;
    const bool deny = !allow && kind < allow_percent + deny_percent;
    const std::string keyword = (allow ? "allow" : deny ? "deny" : "score") + suffix;
    if (!compiles(expression, settings.regType() | caseFlag(keyword))) continue;
    const std::string op = generator.chance(allow || deny ? negative_percent : 20) ? "<>" : "=";
    if (deny && op == "=" &&
        matchesEmptyText(expression, settings.regType() | caseFlag(keyword))) {
      continue;
    }
    if (allow) {
      settings.addAllow(keyword, op, expression);
    } else if (deny) {
      settings.addDeny(keyword, op, expression);
    } else {
      settings.addScore(keyword, static_cast<int>(generator.below(61)) - 20, op, expression);
    }
    generator.learnWords(expression);
    ++added;
  }
}

void configure(ExpressionGenerator& generator, bool extended) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(6);
  settings.setIgnoreTimeStamps(true);
  settings.setRegType(extended ? "extended" : "basic");
  settings.setNormal(generator.chance(60) ? "yes" : "no");
  settings.setHighscore(static_cast<int>(generator.below(80)));
}

TEST(EngineDifferentialTest, GeneratedRulesAndHeaders) {
  Seen seen;
  // Deny rules that match an ordinary header are left out, so it takes this many seeds to meet a
  // deny rule that matches a normalised subject only.
  for (uint32_t seed = 1; seed <= 80; ++seed) {
    ExpressionGenerator generator(seed);
    configure(generator, seed % 2 == 0);
    addRules(generator, 40);
    ASSERT_EQ(compileRules(), 0);
    Headers headers;
    for (int h = 0; h < 40; ++h) {
      auto header = std::make_unique<MessageHeader>();
      header->setSize(static_cast<int>(generator.below(5000)));
      const int fields = static_cast<int>(generator.below(10));
      for (int f = 0; f < fields; ++f) {
        const auto [name, value] = generator.field();
        header->addField(name, value);
      }
      headers.push_back(std::move(header));
    }
    expectSame(headers, "seed " + std::to_string(seed), seen);
  }
  // Every kind of rule line was compared somewhere.
  EXPECT_GT(seen.allow, 0);
  EXPECT_GT(seen.negative_allow, 0);
  EXPECT_GT(seen.deny, 0);
  EXPECT_GT(seen.normalised, 0);
  EXPECT_GT(seen.negative_deny, 0);
  EXPECT_GT(seen.score, 0);
  EXPECT_GT(seen.negative_score, 0);
}

// The header part of a message file, as a TOP reply carries it.
std::string headerText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    text += line + "\r\n";
    if (line.empty()) break;
  }
  return text + ".\r\n";
}

// The demo's rc statements that make rules and limits.
void addDemoRules() {
  std::ifstream rc(POLLENSIFT_SOURCE_DIR "/tests/fixtures/demo.pollensiftrc");
  ASSERT_TRUE(rc.is_open());
  std::string rules;
  for (std::string line; std::getline(rc, line);) {
    for (const char* keyword : {"ALLOW", "DENY", "SCORE", "HIGHSCORE", "MAXLENGTH"}) {
      if (line.rfind(keyword, 0) == 0) {
        rules += line + "\n";
        break;
      }
    }
  }
  std::istringstream input(rules);
  parseRcStream(input, Settings::instance());
  ASSERT_GT(Settings::instance().scoreRules().size(), 0u);
}

TEST(EngineDifferentialTest, FixtureCorpus) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(POLLENSIFT_SOURCE_DIR "/tests/fixtures/mail")) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());

  Seen seen;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    ExpressionGenerator generator(seed);
    configure(generator, seed % 2 == 0);
    Settings::instance().setVerbose(6);
    addDemoRules();
    std::vector<std::string> texts;
    for (const auto& file : files) {
      texts.push_back(headerText(file));
      generator.learnWords(texts.back());
    }
    addRules(generator, 60);
    ASSERT_EQ(compileRules(), 0);
    Headers headers;
    testing::internal::CaptureStdout();
    for (const std::string& text : texts) {
      auto header = std::make_unique<MessageHeader>();
      if (parseHeader(&text, header.get()) >= 0) headers.push_back(std::move(header));
    }
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(headers.size(), files.size());
    expectSame(headers, "fixtures, seed " + std::to_string(seed), seen);
  }
  EXPECT_GT(seen.allow + seen.deny + seen.score, 0);
}

}  // namespace
