#include "protocol/uidl_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "config/settings.h"
#include "report/reporter.h"

namespace {

const std::string kPrint(64, 'a');
const std::string kOther(64, 'b');

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class UidlStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings::instance().resetForTesting();
    char name[] = "/tmp/uidl-state-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    dir_ = name;
    path_ = dir_ + "/state";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // One run over one account: what load says, then remembers uidls (with keys) and commits.
  bool run(const std::string& fingerprint, const UidlState::Entries& kept) {
    UidlState state(path_, 100);
    if (!state.load("acct", fingerprint)) return false;
    for (const auto& [uidl, key] : kept) state.remember(uidl, key);
    return state.commit();
  }

  std::string dir_;
  std::string path_;
};

// What is written is read back the same, whatever bytes the account and the keys hold.
TEST_F(UidlStateTest, FormatAndParseAgree) {
  UidlState::Contents contents;
  contents["pop.example.org\n110\nann smith"] = {
      kPrint,
      {{"00000001", "=<a@b>"}, {"u%2", ""}, {"x", "#" + std::string(32, '\0')}}};
  contents["other\n995\n%"] = {kOther, {}};
  const std::string text = UidlState::format(contents);
  EXPECT_EQ(text.substr(0, 19), "pollensift-state 1\n");
  EXPECT_NE(text.find("u%252 -\n"), std::string::npos) << text;
  std::string reason = "unset";
  const auto parsed = UidlState::parse(text, reason);
  ASSERT_TRUE(parsed.has_value()) << reason;
  EXPECT_EQ(reason, "");
  ASSERT_EQ(parsed->size(), 2u);
  for (const auto& [account, state] : contents) {
    ASSERT_EQ(parsed->count(account), 1u);
    EXPECT_EQ(parsed->at(account).fingerprint, state.fingerprint);
    EXPECT_EQ(parsed->at(account).entries, state.entries);
  }
}

TEST_F(UidlStateTest, TextsThatAreNoStateFile) {
  const std::string head = "pollensift-state 1\n";
  const std::string account = "account a " + kPrint + " 1\n";
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {"", "is not a pollensift state file"},
      {"#!/bin/sh\n", "is not a pollensift state file"},
      {"pollensift-state 2\nend\n", "is of another version (2)"},
      {head, "is damaged"},                                        // truncated before "end"
      {head + account + "u1 =<a@b>\n" + "en", "is damaged"},       // truncated in a line
      {head + account + "end\n", "is damaged"},                    // fewer entries than said
      {head + "account a " + kPrint + " 0\nu1 -\nend\n", "is damaged"},  // more
      {head + account + "u1 =<a@b>\nend\nmore\n", "is damaged"},
      {head + "account a " + kPrint.substr(1) + " 0\nend\n", "is damaged"},
      {head + "account a " + kPrint + " 01\nu1 -\nend\n", "is damaged"},
      {head + "account a " + kPrint + " 0\naccount a " + kPrint + " 0\nend\n", "is damaged"},
      {head + account + "u1  =<a@b>\nend\n", "is damaged"},
      {head + account + "u1 =%4\nend\n", "is damaged"},
      {head + account + "u1 =%41\nend\n", "is damaged"},  // "A" is never escaped
      {head + account + "u1 <a@b>\nend\n", "is damaged"},  // no key form
      {head + account + std::string(71, 'u') + " -\nend\n", "is damaged"},
      {head + account + "u1 #abc\nend\n", "is damaged"},
      {head + "account a " + kPrint + " 999999999\nend\n", "is damaged"},
  };
  for (const auto& c : cases) {
    std::string reason;
    EXPECT_FALSE(UidlState::parse(c.text, reason).has_value()) << c.text;
    EXPECT_EQ(reason, c.reason) << c.text;
  }
}

// Kept messages are remembered under their fingerprint: the next run with the same one finds
// them, one with another finds nothing; what was not remembered in a session is gone after it.
TEST_F(UidlStateTest, RunsRememberKeptMessagesUnderTheirFingerprint) {
  ASSERT_TRUE(run(kPrint, {{"u1", "=<1@x>"}, {"u2", ""}, {"u3", "=<3@x>"}}));
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  {
    UidlState state(path_, 100);
    ASSERT_TRUE(state.load("acct", kPrint));
    EXPECT_TRUE(state.isKept("u1"));
    EXPECT_TRUE(state.isKept("u2"));
    EXPECT_FALSE(state.isKept("u4"));
    EXPECT_EQ(state.messageId("u3"), "=<3@x>");
    EXPECT_EQ(state.messageId("u2"), "");
    EXPECT_EQ(state.messageId("u4"), "");
    // Kept without a Message-ID is not the same as not kept.
    EXPECT_EQ(state.keptKey("u2"), std::optional<std::string_view>(""));
    EXPECT_EQ(state.keptKey("u4"), std::nullopt);
    state.remember("u3", "=<3@x>");
    ASSERT_TRUE(state.commit());
  }
  UidlState state(path_, 100);
  ASSERT_TRUE(state.load("acct", kPrint));
  EXPECT_FALSE(state.isKept("u1"));
  EXPECT_TRUE(state.isKept("u3"));
  ASSERT_TRUE(state.load("other account", kPrint));
  EXPECT_FALSE(state.isKept("u3"));
  ASSERT_TRUE(state.load("acct", kOther));
  EXPECT_FALSE(state.isKept("u3"));
}

// Accounts are kept apart in one file, and what is not committed does not count.
TEST_F(UidlStateTest, AccountsShareTheFile) {
  {
    UidlState state(path_, 100);
    ASSERT_TRUE(state.load("first", kPrint));
    state.remember("f1", "");
    ASSERT_TRUE(state.commit());
    ASSERT_TRUE(state.load("second", kPrint));
    state.remember("s1", "");
    ASSERT_TRUE(state.commit());
    ASSERT_TRUE(state.load("third", kPrint));
    state.remember("t1", "");  // this session did not end cleanly: no commit
  }
  UidlState state(path_, 100);
  ASSERT_TRUE(state.load("first", kPrint));
  EXPECT_TRUE(state.isKept("f1"));
  ASSERT_TRUE(state.load("second", kPrint));
  EXPECT_TRUE(state.isKept("s1"));
  ASSERT_TRUE(state.load("third", kPrint));
  EXPECT_FALSE(state.isKept("t1"));
}

// A session that did not end cleanly leaves its account's entries as they were, even when
// another account is written afterwards; a session that changes nothing writes nothing.
TEST_F(UidlStateTest, UncommittedAndUnchangedSessionsKeepTheFile) {
  ASSERT_TRUE(run(kPrint, {{"u1", "=<1@x>"}, {"u2", ""}}));
  {
    UidlState state(path_, 100);
    ASSERT_TRUE(state.load("acct", kPrint));
    state.remember("u1", "=<1@x>");
    ASSERT_TRUE(state.load("other", kPrint));
    state.remember("o1", "");
    ASSERT_TRUE(state.commit());
  }
  struct stat before {};
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  ASSERT_TRUE(run(kPrint, {{"u1", "=<1@x>"}, {"u2", ""}}));
  struct stat after {};
  ASSERT_EQ(::stat(path_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "rewritten without a change";

  ASSERT_TRUE(run(kPrint, {{"u2", ""}}));
  ASSERT_EQ(::stat(path_.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  std::string reason;
  const auto contents = UidlState::parse(slurp(path_), reason);
  ASSERT_TRUE(contents.has_value()) << reason;
  EXPECT_EQ(contents->at("acct").entries, (UidlState::Entries{{"u2", ""}}));
  EXPECT_EQ(contents->at("other").entries, (UidlState::Entries{{"o1", ""}}));
}

// A damaged file is a warning and a full run, and is replaced at the first commit.
TEST_F(UidlStateTest, DamagedFileGivesAWarningAndAFullRun) {
  Settings::instance().setVerbose(1);
  put(path_, "pollensift-state 1\naccount acct " + kPrint + " 5\nu1 -\n");
  testing::internal::CaptureStdout();
  UidlState state(path_, 100);
  EXPECT_TRUE(state.load("acct", kPrint));
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_GT(out.size(), 15u);
  EXPECT_EQ(out.substr(15), " pollensift: Warning: The state file '" + path_ +
                                "' is damaged; every message is judged.\n");
  EXPECT_FALSE(state.isKept("u1"));
  state.remember("u1", "");
  ASSERT_TRUE(state.commit());
  std::string reason;
  EXPECT_TRUE(UidlState::parse(slurp(path_), reason).has_value()) << reason;
}

// While another run holds the lock, a run waits a bounded time, then goes on without state and
// leaves the file alone.
TEST_F(UidlStateTest, AnotherRunsLockMeansNoState) {
  ASSERT_TRUE(run(kPrint, {{"u1", ""}}));
  const std::string before = slurp(path_);
  const int held = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  Settings::instance().setVerbose(1);
  testing::internal::CaptureStdout();
  {
    UidlState state(path_, 100);
    EXPECT_FALSE(state.load("acct", kPrint));
    EXPECT_FALSE(state.isKept("u1"));
    state.remember("u2", "");
    EXPECT_FALSE(state.commit());
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Warning: Another run holds the state file '" + path_ +
                     "'; every message is judged in this run."),
            std::string::npos)
      << out;
  EXPECT_EQ(slurp(path_), before);
  ::close(held);
  UidlState state(path_, 100);
  ASSERT_TRUE(state.load("acct", kPrint));
  EXPECT_TRUE(state.isKept("u1"));
}

// UIDLs the server may send that cannot be written to the file are judged each time instead.
TEST_F(UidlStateTest, OnlyUsableUidlsAreRemembered) {
  ASSERT_TRUE(run(kPrint, {{"ok", ""}, {"", ""}, {"a b", ""}, {std::string(71, 'u'), ""},
                           {"\x7f", ""}, {"fine", "not a key"}}));
  std::string reason;
  const auto contents = UidlState::parse(slurp(path_), reason);
  ASSERT_TRUE(contents.has_value()) << reason;
  EXPECT_EQ(contents->at("acct").entries, (UidlState::Entries{{"ok", ""}}));
}

// Every setting that can change a verdict changes the fingerprint; the others do not.
TEST(VerdictFingerprintTest, CoversWhatCanChangeAVerdict) {
  using Setup = void (*)(Settings&);
  auto base = [](Settings& s) {
    s.addAllow("ALLOW", "=", "^From:.*@friend");
    s.addDeny("DENY", "=", "^Subject:.*pills");
    s.addScore("SCORE", 40, "=", "^Subject:.*free");
  };
  auto fingerprint = [&](Setup change) {
    Settings& s = Settings::instance();
    s.resetForTesting();
    base(s);
    change(s);
    return verdictFingerprint();
  };
  const std::string plain = fingerprint([](Settings&) {});
  EXPECT_EQ(plain.size(), 64u);
  const std::pair<const char*, Setup> changing[] = {
      {"another rule", [](Settings& s) { s.addDeny("DENY", "=", "^X-Spam"); }},
      {"a rule's sign", [](Settings& s) { s.addDeny("DENY", "<>", "^Subject:.*pills"); }},
      {"a rule's case", [](Settings& s) { s.addDeny("DENY_CASE", "=", "^X"); }},
      {"REG_CASE", [](Settings& s) { s.setRegCase("yes"); s.addDeny("DENY", "=", "^Y"); }},
      {"REG_TYPE", [](Settings& s) { s.setRegType("extended"); }},
      {"points", [](Settings& s) { s.addScore("SCORE", 41, "=", "^X"); }},
      {"HIGHSCORE", [](Settings& s) { s.setHighscore(99); }},
      {"MAXLENGTH", [](Settings& s) { s.setMaxlength(998); }},
      {"MAXSIZE_ALLOW", [](Settings& s) { s.setMaxsizeAllow(1); }},
      {"MAXSIZE_DENY", [](Settings& s) { s.setMaxsizeDeny(1); }},
      {"MAXSIZE_SCORE points", [](Settings& s) { s.setMaxsizeScore(5, 0); }},
      {"MAXSIZE_SCORE size", [](Settings& s) { s.setMaxsizeScore(0, 5); }},
      {"NORMAL", [](Settings& s) { s.setNormal("yes"); }},
      {"DEL_DUPLICATES", [](Settings& s) { s.setDelDuplicates("yes"); }},
      {"-i", [](Settings& s) { s.setIgnoreTimeStamps(true); }},
  };
  std::set<std::string> seen = {plain};
  for (const auto& [what, change] : changing) {
    EXPECT_TRUE(seen.insert(fingerprint(change)).second) << what;
  }
  // A rule moved from one list to another is another configuration.
  Settings& s = Settings::instance();
  s.resetForTesting();
  s.addAllow("ALLOW", "=", "^Subject:.*pills");
  s.addDeny("DENY", "=", "^From:.*@friend");
  s.addScore("SCORE", 40, "=", "^Subject:.*free");
  EXPECT_TRUE(seen.insert(verdictFingerprint()).second);

  const std::pair<const char*, Setup> neutral[] = {
      {"TIMEOUT", [](Settings& s) { s.setTimeout(5); }},
      {"test mode", [](Settings& s) { s.setTest("yes"); }},
      {"VERBOSE", [](Settings& s) { s.setVerbose(6); }},
  };
  for (const auto& [what, change] : neutral) EXPECT_EQ(fingerprint(change), plain) << what;
  Settings::instance().resetForTesting();
}

// Pairs of configurations with the same rules but for one attribute of one rule: the fingerprint
// must see the attribute itself, not only how many rules there are.
TEST(VerdictFingerprintTest, OneAttributeOfOneRuleChangesIt) {
  using Setup = void (*)(Settings&);
  struct Pair {
    const char* what;
    Setup one;
    Setup other;
  };
  const Pair pairs[] = {
      {"sign", [](Settings& s) { s.addDeny("DENY", "=", "^X"); },
       [](Settings& s) { s.addDeny("DENY", "<>", "^X"); }},
      {"case", [](Settings& s) { s.addDeny("DENY", "=", "^X"); },
       [](Settings& s) { s.addDeny("DENY_CASE", "=", "^X"); }},
      {"REG_CASE", [](Settings& s) { s.addScore("SCORE", 5, "=", "^X"); },
       [](Settings& s) {
         s.setRegCase("yes");
         s.addScore("SCORE", 5, "=", "^X");
       }},
      {"points", [](Settings& s) { s.addScore("SCORE", 40, "=", "^X"); },
       [](Settings& s) { s.addScore("SCORE", 41, "=", "^X"); }},
      {"ALLOW against DENY", [](Settings& s) { s.addAllow("ALLOW", "=", "^X"); },
       [](Settings& s) { s.addDeny("DENY", "=", "^X"); }},
  };
  auto fingerprint = [](Setup setup) {
    Settings& s = Settings::instance();
    s.resetForTesting();
    setup(s);
    return verdictFingerprint();
  };
  for (const Pair& pair : pairs) {
    EXPECT_NE(fingerprint(pair.one), fingerprint(pair.other)) << pair.what;
  }
  Settings::instance().resetForTesting();
}

}  // namespace
