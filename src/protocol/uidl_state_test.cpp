#include "protocol/uidl_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

// Lookups answer the same whatever their order: in the file's order (as an unchanged mailbox is
// listed), each asked twice, with gaps, backwards, and for what the file does not hold.
TEST_F(UidlStateTest, LookupsInAnyOrderFindTheirEntries) {
  UidlState::Entries kept;
  for (int i = 1; i <= 8; ++i)
    kept.push_back({"u" + std::to_string(i), "=<" + std::to_string(i) + "@x>"});
  ASSERT_TRUE(run(kPrint, kept));
  const std::vector<std::vector<int>> orders = {{1, 2, 3, 4, 5, 6, 7, 8},
                                                {1, 1, 2, 2, 8, 8},
                                                {2, 4, 9, 6, 8, 1},
                                                {8, 7, 6, 5, 4, 3, 2, 1},
                                                {0, 1, 9, 2, 3}};
  for (const std::vector<int>& order : orders) {
    UidlState state(path_, 100);
    ASSERT_TRUE(state.load("acct", kPrint));
    for (const int n : order) {
      const std::string uidl = "u" + std::to_string(n);
      const std::string expected = n >= 1 && n <= 8 ? "=<" + std::to_string(n) + "@x>" : "";
      EXPECT_EQ(state.isKept(uidl), !expected.empty()) << uidl;
      EXPECT_EQ(state.messageId(uidl), expected) << uidl;
    }
  }
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

// One account's session in a run: what it remembers, and whether it ends cleanly (commits).
struct Session {
  std::string account;
  std::string fingerprint;
  UidlState::Entries kept;
  bool commits;
};

// What a run left: the file's text ("" when there is none) and whether the run wrote it.
struct Left {
  std::string text;
  bool written;
  bool operator==(const Left&) const = default;
};

class UidlStateJobsTest : public UidlStateTest {
 protected:
  // The sessions one after another in one process.
  Left oneProcess(const std::string& start, const std::vector<Session>& sessions) {
    return around(dir_ + "/one", start, [&](UidlState& state) {
      for (const Session& session : sessions) {
        state.load(session.account, session.fingerprint);
        for (const auto& [uidl, key] : session.kept) state.remember(uidl, key);
        if (session.commits) state.commit();
      }
    });
  }

  // The sessions as jobs: the state opened, then each session in a process forked from it, whose
  // commit comes back over a pipe; once every job has ended, the commits are applied in the
  // order of the sessions.
  Left asJobs(const std::string& start, const std::vector<Session>& sessions) {
    return around(dir_ + "/jobs", start, [&](UidlState& state) {
      state.open();
      std::vector<std::string> commits;
      for (const Session& session : sessions) commits.push_back(inJob(state, session));
      for (const std::string& commit : commits) {
        if (!commit.empty()) state.applyCommit(commit);
      }
    });
  }

 private:
  template <typename Run>
  Left around(const std::string& path, const std::string& start, Run run) {
    // A file written has mode 0600; the one put here has 0400, which a run reads all the same.
    // (Inode numbers freed by one write are taken again by the next.)
    ::unlink(path.c_str());
    if (!start.empty()) {
      put(path, start);
      ::chmod(path.c_str(), 0400);
    }
    {
      UidlState state(path, 100);
      run(state);
    }
    struct stat after {};
    if (::stat(path.c_str(), &after) != 0) return {"", false};
    return {slurp(path), (after.st_mode & 0777) == 0600};
  }

  static std::string inJob(UidlState& state, const Session& session) {
    int fds[2];
    if (::pipe(fds) != 0) return "";
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      state.handCommitsTo([&](const std::string& packed) {
        for (size_t at = 0; at < packed.size();) {
          const ssize_t wrote = ::write(fds[1], packed.data() + at, packed.size() - at);
          if (wrote <= 0) _exit(1);
          at += static_cast<size_t>(wrote);
        }
      });
      state.load(session.account, session.fingerprint);
      for (const auto& [uidl, key] : session.kept) state.remember(uidl, key);
      if (session.commits) state.commit();
      _exit(0);
    }
    ::close(fds[1]);
    std::string packed;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) packed.append(buffer, got);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << session.account;
    return packed;
  }
};

// Accounts checked at once leave the file as one process would, byte for byte, and write it
// when one process would, with sessions that fail among them.
TEST_F(UidlStateJobsTest, JobsLeaveTheFileAsOneProcessWould) {
  Settings::instance().setVerbose(0);
  const std::string ann = UidlState::accountKey("pop.example.org", 110, "ann smith");
  const std::string digest = "#" + std::string(31, '\0') + "\xff";
  UidlState::Contents earlier;
  earlier[ann] = {kPrint, {{"u1", "=<1@x>"}, {"u2", ""}}};
  earlier["bob"] = {kPrint, {{"b1", digest}}};
  earlier["cy"] = {kPrint, {{"c1", "=<c@x>"}}};
  earlier["dee"] = {kPrint, {{"d1", ""}}};  // not in the run
  const std::string file = UidlState::format(earlier);
  const Session ann_same{ann, kPrint, {{"u1", "=<1@x>"}, {"u2", ""}}, true};
  const Session bob_same{"bob", kPrint, {{"b1", digest}}, true};
  const struct {
    const char* what;
    std::string start;
    std::vector<Session> sessions;
  } cases[] = {
      {"a first run, one account failing",
       "",
       {ann_same, {"cy", kPrint, {{"c1", "=<c@x>"}}, false}, bob_same}},
      {"nothing new", file, {ann_same, bob_same, {"cy", kPrint, {{"c1", "=<c@x>"}}, true}}},
      {"one new message among unchanged accounts",
       file,
       {ann_same, {"bob", kPrint, {{"b1", digest}, {"b2", "=<2@x>"}}, true}}},
      // The same messages in another order are no change of their own, but the order is what
      // the file holds once another account has it written.
      {"reordered, then a change",
       file,
       {{ann, kPrint, {{"u2", ""}, {"u1", "=<1@x>"}}, true}, {"new", kPrint, {{"n1", ""}}, true}}},
      {"a failed account keeps its entries while the others change",
       file,
       {{ann, kPrint, {{"u2", ""}, {"u3", "=<3@x>"}}, true},
        {"cy", kPrint, {{"c2", ""}}, false},
        {"bob", kPrint, {}, true}}},
      {"another fingerprint", file, {{ann, kOther, {{"u1", "=<1@x>"}}, true}, bob_same}},
      {"a damaged file, rewritten though nothing changed", "pollensift-state 1\naccount",
       {ann_same, bob_same}},
      {"every session failing", file, {{ann, kPrint, {}, false}, {"bob", kPrint, {}, false}}},
  };
  for (const auto& c : cases) {
    const Left one = oneProcess(c.start, c.sessions);
    const Left jobs = asJobs(c.start, c.sessions);
    EXPECT_EQ(jobs.text, one.text) << c.what;
    EXPECT_EQ(jobs.written, one.written) << c.what;
  }
  // What the cases show, in one process and so in jobs.
  EXPECT_FALSE(oneProcess(file, {ann_same, bob_same}).written);
  std::string reason;
  const auto kept = UidlState::parse(
      oneProcess(file, {{"cy", kPrint, {}, false}, {"bob", kPrint, {}, true}}).text, reason);
  ASSERT_TRUE(kept.has_value()) << reason;
  EXPECT_EQ(kept->at("cy").entries, earlier.at("cy").entries);
  EXPECT_EQ(kept->at("dee").entries, earlier.at("dee").entries);
  EXPECT_EQ(kept->at("bob").entries, UidlState::Entries{});
}

// While another run holds the lock, jobs write nothing either; a packed commit that is not one
// account's is dropped, and the file stays as it was.
TEST_F(UidlStateJobsTest, JobsWithoutTheLockOrWithABadCommitWriteNothing) {
  Settings::instance().setVerbose(0);
  UidlState::Contents earlier;
  earlier["acct"] = {kPrint, {{"u1", ""}}};
  earlier["other"] = {kPrint, {{"o1", ""}}};
  const std::string file = UidlState::format(earlier);
  const std::vector<Session> sessions = {{"acct", kPrint, {{"u2", ""}}, true}};
  const int held = ::open((dir_ + "/jobs.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  EXPECT_EQ(asJobs(file, sessions), (Left{file, false}));
  ::close(held);

  const std::string path = dir_ + "/jobs";
  UidlState state(path, 100);
  ASSERT_TRUE(state.open());
  const std::string two = UidlState::format(
      {{"acct", {kPrint, {{"u3", ""}}}}, {"other", {kPrint, {}}}});
  for (const std::string& bad : {std::string("junk"), two, two.substr(0, two.size() - 4),
                                 UidlState::format({})}) {
    EXPECT_FALSE(state.applyCommit(bad)) << bad;
  }
  EXPECT_EQ(slurp(path), file);
  // A good one after them still counts.
  ASSERT_TRUE(state.applyCommit(UidlState::format({{"acct", {kPrint, {{"u4", ""}}}}})));
  std::string reason;
  const auto contents = UidlState::parse(slurp(path), reason);
  ASSERT_TRUE(contents.has_value()) << reason;
  EXPECT_EQ(contents->at("acct").entries, (UidlState::Entries{{"u4", ""}}));
  EXPECT_EQ(contents->at("other").entries, (UidlState::Entries{{"o1", ""}}));
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
