#include "filter/rule_stats.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "header/message_header.h"
#include "rules/rules.h"

namespace {

struct Message {
  std::vector<std::pair<std::string, std::string>> fields;
  int size;
  int verdict;
};

struct Expected {
  ListKind list;
  uint32_t rule;
  int decided;
  int matched;
};

// One configuration where each kind of rule decides some message, one is always shadowed by an
// earlier rule, and one never matches; counted the same with the rule engine on and off.
TEST(RuleStatsTest, CountsWhatDecidedAndWhatMatched) {
  for (const bool engine_on : {true, false}) {
    SCOPED_TRACE(engine_on ? "rule engine" : "C library only");
    Settings& settings = Settings::instance();
    settings.resetForTesting();
    settings.setVerbose(0);
    settings.setDelDuplicates("yes");
    settings.setMaxsizeAllow(500);
    settings.setHighscore(100);
    settings.addAllow("allow", "=", "^From:.*friend");
    settings.addDeny("deny", "=", "^Subject:.*spam");
    settings.addDeny("deny", "=", "^Subject:.*spam offer");
    settings.addDeny("deny", "<>", "^Date:");
    settings.addScore("score", 60, "=", "^X-Bulk:");
    settings.addScore("score", 50, "=", "^Subject:.*offer");
    settings.addScore("score", -40, "=", "^List-Id:");
    settings.addScore("score", 10, "=", "^X-Never:");
    ASSERT_EQ(compileRules(), 0);
    FilterEngine& engine = FilterEngine::instance();
    engine.resetForTesting();
    engine.setRuleEngine(engine_on);
    engine.collectRuleStatistics();

    const std::vector<Message> messages = {
        // The allow rule keeps it; both deny rules and a score rule match all the same.
        {{{"From", "friend"}, {"Subject", "spam offer"}, {"Date", "d"}}, 10, 0},
        // The first deny rule decides; the second, matching too, never does.
        {{{"Subject", "spam offer"}, {"Date", "d"}, {"Message-Id", "<1@x>"}}, 10, 1},
        // The negative deny rule applies: no Date line.
        {{{"Subject", "hi"}}, 10, 1},
        // 60 + 60 + 50 reaches 100: the positive score rules decide, once each.
        {{{"Date", "d"}, {"X-Bulk", "a"}, {"X-Bulk", "b"}, {"Subject", "offer"}}, 10, 1},
        // 60 + 50 - 40 stays below: the rule with negative points decided the keep.
        {{{"Date", "d"}, {"X-Bulk", "a"}, {"Subject", "offer"}, {"List-Id", "l"}}, 10, 0},
        // A duplicate: no rule decided, yet the rules that match it count as matched.
        {{{"Subject", "spam offer"}, {"Date", "d"}, {"Message-Id", "<1@x>"}}, 10, 1},
        // MAXSIZE_ALLOW deletes what the allow rule would keep: the rule did not decide.
        {{{"From", "friend"}, {"Date", "d"}}, 600, 1},
    };
    for (size_t i = 0; i < messages.size(); ++i) {
      MessageHeader header;
      header.setSize(messages[i].size);
      for (const auto& [name, value] : messages[i].fields) header.addField(name, value);
      EXPECT_EQ(engine.filter(&header), messages[i].verdict) << "message " << i;
    }

    const RuleStats* stats = engine.ruleStatistics();
    ASSERT_NE(stats, nullptr);
    EXPECT_EQ(stats->messages(), 7);
    const std::vector<Expected> expected = {
        {kAllowList, 0, 1, 2}, {kDenyList, 0, 1, 3},  {kDenyList, 1, 0, 3},
        {kDenyList, 2, 1, 1},  {kScoreList, 0, 1, 2}, {kScoreList, 1, 1, 5},
        {kScoreList, 2, 1, 1}, {kScoreList, 3, 0, 0},
    };
    for (const Expected& e : expected) {
      EXPECT_EQ(stats->decided(e.list, e.rule), e.decided) << "list " << e.list << " rule " << e.rule;
      EXPECT_EQ(stats->matched(e.list, e.rule), e.matched) << "list " << e.list << " rule " << e.rule;
    }
    engine.setRuleEngine(true);
    engine.resetForTesting();
    EXPECT_EQ(engine.ruleStatistics(), nullptr);
  }
}

// With NORMAL, deny and score rules see the normalised subject too; allow rules never do, and a
// negative rule satisfied only by the normalised subject does not apply.
TEST(RuleStatsTest, NormalisedSubjectCountsForDenyAndScoreRules) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(0);
  settings.setNormal("yes");
  settings.addAllow("allow", "=", "^Subject: freemoney");
  settings.addDeny("deny", "=", "^Subject: freemoney");
  settings.addScore("score", 1, "<>", "^Subject: freemoney");
  ASSERT_EQ(compileRules(), 0);
  FilterEngine& engine = FilterEngine::instance();
  engine.resetForTesting();
  engine.collectRuleStatistics();
  MessageHeader header;
  header.addField("Subject", "free-money!");
  EXPECT_EQ(engine.filter(&header), 1);
  const RuleStats& stats = *engine.ruleStatistics();
  EXPECT_EQ(stats.matched(kAllowList, 0), 0);
  EXPECT_EQ(stats.matched(kDenyList, 0), 1);
  EXPECT_EQ(stats.decided(kDenyList, 0), 1);
  EXPECT_EQ(stats.matched(kScoreList, 0), 0);
  engine.resetForTesting();
}

}  // namespace

namespace {

// A folder's own table is what was counted after the copy taken before it: rules the earlier
// messages matched or decided, and the learned score, start again from nothing.
TEST(RuleStatsTest, SinceCountsOnlyWhatCameAfterTheCopy) {
  RuleStats stats;
  stats.beginMessage();
  stats.noteMatched(kDenyList, 0);
  stats.noteDecided(kDenyList, 0);
  stats.noteLearned(true, false);
  const RuleStats before = stats;
  stats.beginMessage();
  stats.noteMatched(kDenyList, 0);
  stats.noteMatched(kScoreList, 2);  // a rule first seen after the copy
  stats.noteLearned(true, true);
  stats.beginMessage();
  stats.noteLearned(false, false);
  const RuleStats part = stats.since(before);
  EXPECT_EQ(part.messages(), 2);
  EXPECT_EQ(part.matched(kDenyList, 0), 1);
  EXPECT_EQ(part.decided(kDenyList, 0), 0);
  EXPECT_EQ(part.matched(kScoreList, 2), 1);
  EXPECT_TRUE(part.learnedUsed());
  EXPECT_EQ(part.learned(), std::make_pair(1, 1));
  // The whole keeps counting as before.
  EXPECT_EQ(stats.matched(kDenyList, 0), 2);
  EXPECT_EQ(stats.learned(), std::make_pair(2, 1));
}

}  // namespace
