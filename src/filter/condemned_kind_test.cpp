#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "header/message_header.h"
#include "rules/rules.h"

namespace {

using Kind = FilterEngine::Condemned;

struct Case {
  std::vector<std::pair<std::string, std::string>> fields;
  int size;
  Kind kind;
};

// One configuration in which every check can decide; each message is decided by a different one.
TEST(CondemnedKindTest, NamesTheCheckThatDecided) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(0);
  settings.setDelDuplicates("yes");
  settings.setMaxlength(60);
  settings.setMaxsizeAllow(500);
  settings.setMaxsizeDeny(1000);
  settings.addAllow("allow", "=", "^From: friend");
  settings.addDeny("deny", "=", "^Subject: spam");
  settings.addDeny("deny", "<>", "^Date:");
  settings.addScore("score", 100, "=", "^X-Bulk:");
  ASSERT_EQ(compileRules(), 0);
  FilterEngine& engine = FilterEngine::instance();
  engine.resetForTesting();

  const std::vector<Case> cases = {
      {{{"Date", "d"}, {"Message-Id", "<1@x>"}}, 10, Kind::kNone},
      {{{"Date", "d"}, {"Message-Id", "<1@x>"}}, 10, Kind::kDuplicate},
      {{{"From", "friend"}}, 600, Kind::kMaxsizeAllow},
      {{{"From", "friend"}}, 400, Kind::kNone},
      {{{"Date", std::string(70, 'd')}}, 10, Kind::kMaxlength},
      {{{"Date", "d"}}, 2000, Kind::kMaxsizeDeny},
      {{{"Date", "d"}, {"Subject", "spam"}}, 10, Kind::kDenyRule},
      {{{"Subject", "hi"}}, 10, Kind::kNegativeDenyRule},
      {{{"Date", "d"}, {"X-Bulk", "yes"}}, 10, Kind::kScore},
      {{{"Date", "d"}}, 10, Kind::kNone},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    MessageHeader header;
    header.setSize(cases[i].size);
    for (const auto& [name, value] : cases[i].fields) header.addField(name, value);
    const int verdict = engine.filter(&header);
    EXPECT_EQ(verdict, cases[i].kind == Kind::kNone ? 0 : 1) << "message " << i;
    EXPECT_EQ(engine.lastCondemned(), cases[i].kind) << "message " << i;
  }
  // A missing header condemns nothing, whatever the message before it was.
  EXPECT_EQ(engine.filter(nullptr), -1);
  EXPECT_EQ(engine.lastCondemned(), Kind::kNone);
}

}  // namespace
