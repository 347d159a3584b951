#include "filter/filter_engine.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "header/message_header.h"
#include "rules/rules.h"

namespace {

using Fields = std::vector<MessageHeader::Field>;

struct Message {
  Fields fields;
  int size;
  int verdict;
};

struct Case {
  const char* what;
  std::function<void(Settings&)> setup;
  std::vector<Message> messages;
  // Every line the messages produce at verbosity 6, with the level it is written at.
  std::vector<std::pair<int, std::string>> lines;
};

// Summary "ann: Hi, d".
const Fields kPlain = {{"From", "ann"}, {"Subject", "Hi"}, {"Date", "d"}};

Fields with(Fields fields, std::initializer_list<MessageHeader::Field> more) {
  fields.insert(fields.end(), more);
  return fields;
}

void none(Settings&) {}

const std::vector<Case>& cases() {
  static const std::vector<Case> kCases = {
      {"defaults: score 0 passes", none, {{kPlain, 10, 0}}, {{5, "Pass: ann: Hi, d [Score: 0]."}}},
      {"no fields at all: empty places, separators stay",
       [](Settings& s) {
         s.addAllow("allow", "<>", "^X-Trusted:");
         s.addDeny("deny", "<>", "^Date:");
         s.addScore("score", 5, "<>", "x");
       },
       {{{}, 10, 0}},
       {{5, "Pass: : ,  [Score: 0]."}}},
      {"highscore 0 denies a total of 0",
       [](Settings& s) { s.setHighscore(0); },
       {{kPlain, 10, 1}},
       {{2, "Deny: ann: Hi, d [Score: 0]."}}},
      {"missing Message-Id with duplicates on is never a duplicate",
       [](Settings& s) { s.setDelDuplicates("yes"); },
       {{kPlain, 1, 0}, {kPlain, 1, 0}},
       {{5, "Pass: ann: Hi, d [Score: 0]."}, {5, "Pass: ann: Hi, d [Score: 0]."}}},
      {"duplicate wins over an allow rule; case of the ID matters",
       [](Settings& s) {
         s.setDelDuplicates("yes");
         s.addAllow("allow", "=", "^From:.*ann");
       },
       {{with(kPlain, {{"Message-Id", "<a1@b2>"}}), 1, 0},
        {with(kPlain, {{"Message-Id", "<A1@b2>"}}), 1, 0},
        {with(kPlain, {{"Message-Id", "<a1@b2>"}}), 1, 1}},
       {{4, "Allow: ann: Hi, d [\"^From:.*ann\" matches \"From: ann\"]."},
        {4, "Allow: ann: Hi, d [\"^From:.*ann\" matches \"From: ann\"]."},
        {2, "Deny: ann: Hi, d [Duplicate]."}}},
      {"duplicates off records nothing",
       none,
       {{with(kPlain, {{"Message-Id", "<a1@b2>"}}), 1, 0},
        {with(kPlain, {{"Message-Id", "<a1@b2>"}}), 1, 0}},
       {{5, "Pass: ann: Hi, d [Score: 0]."}, {5, "Pass: ann: Hi, d [Score: 0]."}}},
      {"the earliest matching line decides, naming the first rule for it",
       [](Settings& s) {
         s.addAllow("allow", "=", "^Date:");
         s.addAllow("allow", "=", "^From:");
         s.addAllow("allow", "<>", "^X-Trusted:");
       },
       {{kPlain, 1, 0}},
       {{4, "Allow: ann: Hi, d [\"^From:\" matches \"From: ann\"]."}}},
      {"negative allow rule spares when no line matches, else does not decide",
       [](Settings& s) { s.addAllow("allow", "<>", "^X-Trusted:"); },
       {{kPlain, 1, 0}, {with(kPlain, {{"X-Trusted", "yes"}}), 1, 0}},
       {{4, "Allow: ann: Hi, d [Negative allow rule \"^X-Trusted:\" did not match]."},
        {5, "Pass: ann: Hi, d [Score: 0]."}}},
      {"MAXSIZE_ALLOW after a positive allow rule, not after a negative one",
       [](Settings& s) {
         s.setMaxsizeAllow(100);
         s.addAllow("allow", "=", "^Subject: Hi");
         s.addAllow("allow", "<>", "^X-Trusted:");
       },
       {{kPlain, 500, 1}, {kPlain, 100, 0}, {{{"From", "bob"}}, 500, 0}},
       {{4, "Allow: ann: Hi, d [\"^Subject: Hi\" matches \"Subject: Hi\"]."},
        {2, "Deny: ann: Hi, d [Maxsize_Allow exceeded]."},
        {4, "Allow: ann: Hi, d [\"^Subject: Hi\" matches \"Subject: Hi\"]."},
        {4, "Allow: bob: ,  [Negative allow rule \"^X-Trusted:\" did not match]."}}},
      {"MAXLENGTH counts the whole header line: 22 > 20, 20 is not",
       [](Settings& s) { s.setMaxlength(20); },
       {{{{"Subject", "0123456789ABC"}}, 1, 1}, {{{"Subject", "0123456789A"}}, 1, 0}},
       {{2, "Deny: : 0123456789ABC,  [\"Subject\" exceeded maxlength]."},
        {5, "Pass: : 0123456789A,  [Score: 0]."}}},
      {"MAXLENGTH comes after allow and before MAXSIZE_DENY and deny rules",
       [](Settings& s) {
         s.setMaxlength(1);
         s.setMaxsizeDeny(5);
         s.addAllow("allow", "=", "^X-Friend:");
         s.addDeny("deny", "=", "ann");
       },
       {{with(kPlain, {{"X-Friend", "1"}}), 9, 0}, {kPlain, 9, 1}},
       {{4, "Allow: ann: Hi, d [\"^X-Friend:\" matches \"X-Friend: 1\"]."},
        {2, "Deny: ann: Hi, d [\"From\" exceeded maxlength]."}}},
      {"negative MAXLENGTH never triggers",
       [](Settings& s) { s.setMaxlength(-1); },
       {{kPlain, 1, 0}},
       {{5, "Pass: ann: Hi, d [Score: 0]."}}},
      {"MAXSIZE_DENY boundary; the size reason comes before deny rules",
       [](Settings& s) {
         s.setMaxsizeDeny(100);
         s.addDeny("deny", "=", "^Subject: Hi");
         s.setHighscore(1000);
       },
       {{{{"X", "1"}}, 100, 0}, {kPlain, 101, 1}, {kPlain, 0, 1}},
       {{5, "Pass: : ,  [Score: 0]."},
        {2, "Deny: ann: Hi, d [Maxsize_Deny exceeded]."},
        {2, "Deny: ann: Hi, d [\"^Subject: Hi\" matches \"Subject: Hi\"]."}}},
      {"an allowed message is not subject to MAXSIZE_DENY",
       [](Settings& s) {
         s.setMaxsizeDeny(100);
         s.addAllow("allow", "=", "friend");
       },
       {{{{"From", "my friend"}}, 500, 0}},
       {{4, "Allow: my friend: ,  [\"friend\" matches \"From: my friend\"]."}}},
      {"deny rule on the normalised subject quotes the raw line",
       [](Settings& s) {
         s.setNormal("yes");
         s.addDeny("deny", "=", "^Subject:.*viagra");
       },
       {{{{"Subject", "V.i.a.g.r.a"}}, 1, 1}, {{{"SUBJECT", "V.i.a.g.r.a"}}, 1, 0}},
       {{2,
         "Deny: : V.i.a.g.r.a,  [\"^Subject:.*viagra\" matches \"Subject: V.i.a.g.r.a\" "
         "(normalised)]."},
        {5, "Pass: : V.i.a.g.r.a,  [Score: 0]."}}},
      {"normalised subject is not tested with NORMAL off",
       [](Settings& s) { s.addDeny("deny", "=", "^Subject:.*viagra"); },
       {{{{"Subject", "V.i.a.g.r.a"}}, 1, 0}},
       {{5, "Pass: : V.i.a.g.r.a,  [Score: 0]."}}},
      {"deny rule letter case follows the keyword",
       [](Settings& s) { s.addDeny("deny_case", "=", "^subject:"); },
       {{kPlain, 1, 0}},
       {{5, "Pass: ann: Hi, d [Score: 0]."}}},
      {"negative deny rule deletes at level 2 like every deletion; a normalised match satisfies it",
       [](Settings& s) {
         s.setNormal("yes");
         s.addDeny("deny", "<>", "^Date:");
         s.addDeny("deny", "<>", "Subject: Hi there");
       },
       {{{{"Subject", "Hi, there!"}}, 1, 1}, {{{"Date", "d"}, {"Subject", "Hi, there!"}}, 1, 0}},
       {{2, "Deny: : Hi, there!,  [Negative deny rule \"^Date:\" did not match]."},
        {5, "Pass: : Hi, there!, d [Score: 0]."}}},
      {"a positive score rule counts once per matching field",
       [](Settings& s) { s.addScore("score", 10, "=", "^Received:"); },
       {{{{"Received", "a"}, {"Received", "b"}, {"Subject", "x"}, {"Received", "c"}}, 1, 0}},
       {{5, "Score: \"^Received:\" matches \"Received: a\" [10]."},
        {5, "Score: \"^Received:\" matches \"Received: b\" [10]."},
        {5, "Score: \"^Received:\" matches \"Received: c\" [10]."},
        {5, "Pass: : x,  [Score: 30]."}}},
      {"several rules count for one field; total equal to HIGHSCORE deletes",
       [](Settings& s) {
         s.setHighscore(70);
         s.addScore("score", 30, "=", "^Subject:");
         s.addScore("score", 40, "=", "cheap");
       },
       {{{{"Subject", "cheap"}}, 1, 1}},
       {{5, "Score: \"^Subject:\" matches \"Subject: cheap\" [30]."},
        {5, "Score: \"cheap\" matches \"Subject: cheap\" [40]."},
        {2, "Deny: : cheap,  [Score: 70]."}}},
      {"normalised score match counts once and quotes the raw line",
       [](Settings& s) {
         s.setNormal("yes");
         s.addScore("score", 7, "=", "Subject: Viagra");
       },
       {{{{"Subject", "V-i-a-g-r-a"}}, 1, 0}},
       {{5, "Score: \"Subject: Viagra\" matches \"Subject: V-i-a-g-r-a\" [7]."},
        {5, "Pass: : V-i-a-g-r-a,  [Score: 7]."}}},
      {"negative score rule adds once; size points start the total",
       [](Settings& s) {
         s.addScore("score", 25, "<>", "^X-Mailer:");
         s.addScore("score", -50, "=", "^From:");
         s.setMaxsizeScore(60, 100);
       },
       {{kPlain, 101, 0}, {kPlain, 100, 0}},
       {{5, "Score: \"^From:\" matches \"From: ann\" [-50]."},
        {5, "Score: <> \"^X-Mailer:\" did not match [25]."},
        {5, "Pass: ann: Hi, d [Score: 35]."},
        {5, "Score: \"^From:\" matches \"From: ann\" [-50]."},
        {5, "Score: <> \"^X-Mailer:\" did not match [25]."},
        {5, "Pass: ann: Hi, d [Score: -25]."}}},
      {"MAXSIZE_SCORE with limit 0 or points 0 adds nothing",
       [](Settings& s) {
         s.setHighscore(1);
         s.setMaxsizeScore(60, 0);
       },
       {{kPlain, 500, 0}},
       {{5, "Pass: ann: Hi, d [Score: 0]."}}},
      {"only size points for a header without fields",
       [](Settings& s) {
         s.setMaxsizeScore(100, 10);
         s.addScore("score", -500, "<>", "x");
       },
       {{{}, 11, 1}},
       {{2, "Deny: : ,  [Score: 100]."}}},
      {"a huge total saturates instead of wrapping round",
       [](Settings& s) { s.addScore("score", INT_MAX, "=", "^Received:"); },
       {{{{"Received", "a"}, {"Received", "b"}}, 1, 1}},
       {{5, "Score: \"^Received:\" matches \"Received: a\" [2147483647]."},
        {5, "Score: \"^Received:\" matches \"Received: b\" [2147483647]."},
        {2, "Deny: : ,  [Score: 2147483647]."}}},
  };
  return kCases;
}

// Runs the messages of c with a fresh engine at the given verbosity; returns the messages of the
// printed lines (time stamp and program name removed).
std::vector<std::string> run(const Case& c, int verbose, std::vector<int>& verdicts) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(verbose);
  c.setup(settings);
  EXPECT_EQ(compileRules(), 0);
  FilterEngine::instance().resetForTesting();

  testing::internal::CaptureStdout();
  for (const Message& m : c.messages) {
    MessageHeader header;
    header.setSize(m.size);
    for (const auto& [name, value] : m.fields) header.addField(name, value);
    verdicts.push_back(FilterEngine::instance().filter(&header));
  }
  std::istringstream out(testing::internal::GetCapturedStdout());
  std::vector<std::string> lines;
  const std::string prefix = " pollensift: ";
  for (std::string line; std::getline(out, line);) {
    EXPECT_EQ(line.substr(15, prefix.size()), prefix) << line;
    lines.push_back(line.substr(15 + prefix.size()));
  }
  return lines;
}

TEST(FilterEngineTest, VerdictsAndLinesAtEveryLevel) {
  for (const Case& c : cases()) {
    for (int verbose = 0; verbose <= 6; ++verbose) {
      std::vector<int> verdicts;
      const std::vector<std::string> lines = run(c, verbose, verdicts);
      std::vector<int> expected_verdicts;
      for (const Message& m : c.messages) expected_verdicts.push_back(m.verdict);
      std::vector<std::string> expected_lines;
      for (const auto& [level, text] : c.lines) {
        if (level <= verbose) expected_lines.push_back(text);
      }
      EXPECT_EQ(verdicts, expected_verdicts) << c.what << ", verbose " << verbose;
      EXPECT_EQ(lines, expected_lines) << c.what << ", verbose " << verbose;
    }
  }
}

TEST(FilterEngineTest, MissingHeader) {
  Settings::instance().resetForTesting();
  FilterEngine& engine = FilterEngine::instance();
  EXPECT_EQ(engine.filter(nullptr), -1);
  EXPECT_EQ(engine.checkDuplicate(nullptr), -1);
  EXPECT_EQ(engine.checkAllow(nullptr), -1);
  EXPECT_EQ(engine.checkDeny(nullptr), -1);
}

// The checks of one filter call share the header's lines and their candidate rules; a check
// called on its own afterwards works on the header as it is then.
TEST(FilterEngineTest, CheckCalledAloneSeesTheHeaderAsItIsNow) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(0);
  settings.addDeny("deny", "=", "^X-Spam-Flag: YES");
  ASSERT_EQ(compileRules(), 0);
  FilterEngine& engine = FilterEngine::instance();
  MessageHeader header;
  header.addField("Subject", "Hi");
  EXPECT_EQ(engine.filter(&header), 0);
  header.addField("X-Spam-Flag", "yes");
  EXPECT_EQ(engine.checkDeny(&header), 1);
  EXPECT_EQ(engine.filter(&header), 1);
}

// The block lists that list a message's relay add their points to the score, after the rules,
// and are named after it in the verdict line; an allow rule still spares the message.
TEST(FilterEngineTest, BlockListPointsCountInTheScore) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(5);
  settings.addScore("score", 30, "=", "^Subject: cheap");
  settings.addAllow("allow", "=", "^From: friend");
  ASSERT_EQ(compileRules(), 0);
  FilterEngine& engine = FilterEngine::instance();
  engine.resetForTesting();
  const std::vector<dnsbl::Listing> listings = {{"bl.example", "203.0.113.7", 100},
                                                {"wl.example", "203.0.113.7", -20}};
  auto judge = [&](const char* from, int points) {
    MessageHeader header;
    header.addField("From", from);
    header.addField("Subject", "cheap");
    return engine.filter(&header, std::span(listings).first(points));
  };
  testing::internal::CaptureStdout();
  EXPECT_EQ(judge("ann", 2), 1);
  EXPECT_EQ(judge("ann", 0), 0);
  EXPECT_EQ(judge("friend", 2), 0);
  std::istringstream out(testing::internal::GetCapturedStdout());
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(line.substr(28));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Score: \"^Subject: cheap\" matches \"Subject: cheap\" [30].",
                       "Score: DNSBL bl.example lists 203.0.113.7 [100].",
                       "Score: DNSBL wl.example lists 203.0.113.7 [-20].",
                       "Deny: ann: cheap,  [Score: 110] [DNSBL bl.example lists 203.0.113.7: 100] "
                       "[DNSBL wl.example lists 203.0.113.7: -20].",
                       "Score: \"^Subject: cheap\" matches \"Subject: cheap\" [30].",
                       "Pass: ann: cheap,  [Score: 30].",
                       "Allow: friend: cheap,  [\"^From: friend\" matches \"From: friend\"].",
                   }));
}

// Quiet settings with DEL_DUPLICATES on or off, and an engine that has seen nothing.
FilterEngine& freshEngine(bool duplicates) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(0);
  settings.setDelDuplicates(duplicates ? "yes" : "no");
  FilterEngine::instance().resetForTesting();
  return FilterEngine::instance();
}

// A message kept in an earlier run and not fetched takes its place among the IDs seen: a later
// message with its ID is a duplicate, and it is one itself when its ID was seen before it.
TEST(FilterEngineTest, SeededIdsTakeTheirPlaceInTheDuplicateCheck) {
  FilterEngine& engine = FilterEngine::instance();
  const std::string long_id = "<" + std::string(1000, 'l') + "@x>";
  auto judged = [&](const std::string& id) {
    MessageHeader header;
    header.addField("Message-ID", id);
    return engine.filter(&header);
  };
  for (const bool on : {true, false}) {
    freshEngine(on);
    EXPECT_TRUE(engine.seedSeen(FilterEngine::seenKey("<old@x>")));
    EXPECT_TRUE(engine.seedSeen(FilterEngine::seenKey(long_id)));
    EXPECT_TRUE(engine.seedSeen(FilterEngine::seenKey("")));
    EXPECT_TRUE(engine.seedSeen(FilterEngine::seenKey("")));
    EXPECT_EQ(judged("<old@x>"), on ? 1 : 0);
    EXPECT_EQ(judged(long_id), on ? 1 : 0);
    EXPECT_EQ(judged("<new@x>"), 0);
    EXPECT_EQ(engine.seedSeen(FilterEngine::seenKey("<new@x>")), !on);
    EXPECT_EQ(engine.seedSeen(FilterEngine::seenKey("<old@x>")), !on);
  }
  engine.resetForTesting();
}

// Accounts checked at once: the IDs of the accounts before come in once, at the first look that
// needs them (until then the scan may ask whether that look would wait); the settled hook runs
// once whatever calls it.
TEST(FilterEngineTest, EarlierAccountsIdsComeAtTheFirstLookAndSettleOnce) {
  FilterEngine& engine = freshEngine(true);
  EXPECT_FALSE(engine.seenAwaited());  // not checked at once
  SeenIds earlier;
  earlier.insert(SeenIds::key("<a@x>"));
  bool ready = false;
  int waits = 0;
  engine.beforeSeenUse(
      [&] {
        ++waits;
        engine.addSeen(earlier.packed());
      },
      [&] { return ready; });
  EXPECT_TRUE(engine.seenAwaited());
  ready = true;
  EXPECT_FALSE(engine.seenAwaited());
  ready = false;
  MessageHeader plain;
  plain.addField("Subject", "no ID");
  EXPECT_EQ(engine.filter(&plain), 0);  // no ID: no look at the IDs seen
  EXPECT_EQ(waits, 0);
  EXPECT_TRUE(engine.seenAwaited());
  auto judged = [&](const char* id) {
    MessageHeader header;
    header.addField("Message-ID", id);
    return engine.filter(&header);
  };
  EXPECT_EQ(judged("<a@x>"), 1);
  EXPECT_EQ(judged("<b@x>"), 0);
  EXPECT_EQ(waits, 1);
  EXPECT_FALSE(engine.seenAwaited());
  int settled = 0;
  SeenIds passed_on;
  engine.onSeenSettled([&](const std::string& packed) {
    ++settled;
    passed_on.insertPacked(packed);
  });
  engine.seenSettled();
  engine.seenSettled();
  SeenIds own;
  own.insert(SeenIds::key("<c@x>"));
  engine.seenSettledAhead(own);
  EXPECT_EQ(settled, 1);
  EXPECT_FALSE(passed_on.insert(SeenIds::key("<a@x>")));
  EXPECT_FALSE(passed_on.insert(SeenIds::key("<b@x>")));
  EXPECT_TRUE(passed_on.insert(SeenIds::key("<c@x>")));
  // Known ahead, an account's own IDs are what goes on.
  passed_on.clear();
  engine.onSeenSettled([&](const std::string& packed) { passed_on.insertPacked(packed); });
  engine.seenSettledAhead(own);
  engine.seenSettled();
  EXPECT_EQ(passed_on.size(), 1u);
  EXPECT_FALSE(passed_on.insert(SeenIds::key("<c@x>")));
  engine.resetForTesting();
}

// Header text reaches the terminal only through the Reporter's escaping.
TEST(FilterEngineTest, HostileHeaderIsEscaped) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  settings.setVerbose(6);
  settings.addDeny("deny", "=", "^Subject: a");
  ASSERT_EQ(compileRules(), 0);
  MessageHeader header;
  header.addField("From", "\x1b[2J\x1b]0;owned\x07");
  header.addField("Subject", "a\r\n12:00:00 pollensift: forged\x7f");
  testing::internal::CaptureStdout();
  EXPECT_EQ(FilterEngine::instance().filter(&header), 1);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_GT(out.size(), 15u);
  EXPECT_EQ(out.substr(15),
            " pollensift: Deny: \\x1b[2J\\x1b]0;owned\\x07: a\\x0d\\x0a12:00:00 pollensift: "
            "forged\\x7f,  [\"^Subject: a\" matches \"Subject: a\\x0d\\x0a12:00:00 pollensift: "
            "forged\\x7f\"].\n");
}

}  // namespace
