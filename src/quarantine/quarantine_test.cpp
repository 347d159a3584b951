#include "quarantine/quarantine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quarantine/header_digest.h"

namespace {

namespace fs = std::filesystem;

class QuarantineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("pollensift-quarantine-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directory(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::vector<std::string> files(const std::string& sub) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_ / "q" / sub)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  std::string read(const fs::path& path) const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
};

TEST_F(QuarantineTest, AMessageArrivesInNewOnlyWhenFinished) {
  std::string problem;
  const auto quarantine = Quarantine::open((root_ / "q").string(), &problem);
  ASSERT_NE(quarantine, nullptr) << problem;
  for (const char* sub : {"", "/tmp", "/new", "/cur"}) {
    struct stat info {};
    ASSERT_EQ(::stat(((root_ / "q").string() + sub).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << sub;
  }
  auto delivery = quarantine->begin("X-Pollensift-Verdict: test\n", &problem);
  ASSERT_NE(delivery, nullptr) << problem;
  ASSERT_TRUE(delivery->write("Subject: hi\n\nbody\n"));
  EXPECT_EQ(files("tmp").size(), 1u);
  EXPECT_TRUE(files("new").empty());
  ASSERT_TRUE(delivery->finish()) << delivery->problem();
  EXPECT_TRUE(files("tmp").empty());
  ASSERT_EQ(files("new"), std::vector<std::string>{delivery->name()});
  EXPECT_EQ(read(root_ / "q" / "new" / delivery->name()),
            "X-Pollensift-Verdict: test\nSubject: hi\n\nbody\n");

  // Opening it again keeps what it holds; two deliveries never share a name.
  const auto again = Quarantine::open((root_ / "q").string(), &problem);
  ASSERT_NE(again, nullptr);
  auto second = again->begin("X: 2\n", &problem);
  ASSERT_TRUE(second && second->finish());
  EXPECT_NE(second->name(), delivery->name());
  EXPECT_EQ(files("new").size(), 2u);
}

TEST_F(QuarantineTest, AnAbandonedDeliveryLeavesNothing) {
  std::string problem;
  const auto quarantine = Quarantine::open((root_ / "q").string(), &problem);
  ASSERT_NE(quarantine, nullptr);
  {
    auto dropped = quarantine->begin("X: 1\n", &problem);
    ASSERT_TRUE(dropped->write("Subject: half"));
  }  // neither finished nor abandoned
  auto abandoned = quarantine->begin("X: 2\n", &problem);
  abandoned->abandon();
  EXPECT_TRUE(files("tmp").empty());
  EXPECT_TRUE(files("new").empty());
}

TEST_F(QuarantineTest, WhatCannotServeIsNamed) {
  const std::string r = root_.string();
  std::ofstream(root_ / "file") << "x";
  fs::create_directory(root_ / "partial");
  std::ofstream(root_ / "partial" / "new") << "x";
  fs::create_directories(root_ / "elsewhere" / "new");
  fs::create_symlink(root_ / "elsewhere", root_ / "linked");
  fs::create_directory(root_ / "linked-new");
  fs::create_directory_symlink(root_ / "elsewhere" / "new", root_ / "linked-new" / "new");
  fs::create_directory(root_ / "open");
  fs::permissions(root_ / "open", fs::perms::all);
  fs::create_directories(root_ / "open-cur" / "cur");
  fs::permissions(root_ / "open-cur" / "cur", fs::perms::owner_all | fs::perms::group_write);
  fs::create_directories(root_ / "home");
  fs::create_directories(root_ / "documents");
  std::ofstream(root_ / "documents" / "notes.txt") << "x";
  fs::create_directories(root_ / "Maildir" / "new");
  std::ofstream(root_ / "Maildir" / "new" / "1.M1P1Q1.host") << "Subject: real mail\n\nhi\n";
  const char* home = std::getenv("HOME");
  const std::string saved_home = home != nullptr ? home : "";
  ::setenv("HOME", (root_ / "home").c_str(), 1);
  struct Case {
    std::string path;
    std::string problem;
  };
  const Case cases[] = {
      {r + "/file", "'" + r + "/file' is not a directory."},
      {r + "/file/q", "'" + r + "/file' is not a directory."},
      {r + "/partial", "'" + r + "/partial/new' is not a directory."},
      {r + "/linked", "'" + r + "/linked' is a symbolic link."},
      {r + "/linked-new", "'" + r + "/linked-new/new' is a symbolic link."},
      {r + "/open", "'" + r + "/open' may be written by other users."},
      {r + "/open-cur", "'" + r + "/open-cur/cur' may be written by other users."},
      {r + "/home", "'" + r + "/home' is the home directory."},
      {r + "/home/", "'" + r + "/home/' is the home directory."},
      {r + "/documents",
       "'" + r + "/documents' is a folder that pollensift did not make: it holds 'notes.txt'."},
      {r + "/Maildir", "'" + r + "/Maildir' is a folder that pollensift did not make: '" + r +
                           "/Maildir/new/1.M1P1Q1.host' is no message that it stored."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string problem;
    EXPECT_EQ(Quarantine::inspect(c.path), c.problem);
    EXPECT_EQ(Quarantine::open(c.path, &problem), nullptr);
    EXPECT_EQ(problem, c.problem);
    // Refused, it is left as it was: no marker, no folders made.
    EXPECT_FALSE(fs::exists(c.path + "/" + std::string(kQuarantineMarker)));
    EXPECT_FALSE(fs::exists(c.path + "/tmp"));
  }
  ::setenv("HOME", saved_home.c_str(), 1);
  // A folder that another user made first (root can make one for the test).
  if (::geteuid() == 0) {
    fs::create_directories(root_ / "theirs" / "new");
    ASSERT_EQ(::chown((root_ / "theirs" / "new").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Quarantine::inspect((root_ / "theirs").string()),
              "'" + r + "/theirs/new' belongs to another user.");
    ASSERT_EQ(::chown((root_ / "theirs").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Quarantine::inspect((root_ / "theirs").string()),
              "'" + r + "/theirs' belongs to another user.");
  }
}

// A missing quarantine is made with its missing parents, all private; a folder that holds only
// what earlier runs stored is adopted; either way the marker is written.
TEST_F(QuarantineTest, MissingFoldersAreMadeAndEarlierQuarantinesAdopted) {
  const fs::path deep = root_ / "a" / "b" / "q";
  EXPECT_EQ(Quarantine::inspect(deep.string()), "");
  EXPECT_FALSE(fs::exists(root_ / "a"));
  std::string problem;
  ASSERT_NE(Quarantine::open(deep.string(), &problem), nullptr) << problem;
  for (const fs::path& folder : {root_ / "a", root_ / "a" / "b", deep, deep / "new"}) {
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
  }
  EXPECT_TRUE(fs::is_regular_file(deep / std::string(kQuarantineMarker)));

  for (const char* sub : {"new", "cur", "tmp"}) fs::create_directories(root_ / "old" / sub);
  std::ofstream(root_ / "old" / "new" / "1.M1P1Q1.host") << "X-Pollensift-Verdict: x (a@b, "
                                                            "2026-01-01 10:00)\nSubject: s\n\n";
  std::ofstream(root_ / "old" / "tmp" / "2.M2P2Q2.host");  // a run stopped at once
  fs::create_directories(root_ / "empty");
  for (const char* adopted : {"old", "empty"}) {
    SCOPED_TRACE(adopted);
    EXPECT_EQ(Quarantine::inspect((root_ / adopted).string()), "");
    EXPECT_FALSE(fs::exists(root_ / adopted / std::string(kQuarantineMarker)));
    ASSERT_NE(Quarantine::open((root_ / adopted).string(), &problem), nullptr) << problem;
    EXPECT_TRUE(fs::exists(root_ / adopted / std::string(kQuarantineMarker)));
  }
  // Once marked, what a mail client adds does not matter.
  std::ofstream(root_ / "old" / "dovecot-uidlist") << "x";
  EXPECT_NE(Quarantine::open((root_ / "old").string(), &problem), nullptr) << problem;
}

// Jobs that find the quarantine missing make it at the same time: each of them can use it.
TEST_F(QuarantineTest, MadeByManyAtOnce) {
  for (int round = 0; round < 20; ++round) {
    const std::string path = (root_ / ("q" + std::to_string(round)) / "inner").string();
    std::atomic<int> ready{0};
    std::vector<std::string> problems(4);
    std::vector<std::thread> jobs;
    for (int job = 0; job < 4; ++job) {
      jobs.emplace_back([&, job] {
        ++ready;
        while (ready < 4) {
        }
        if (Quarantine::open(path, &problems[job]) != nullptr) problems[job] = "served";
      });
    }
    for (std::thread& job : jobs) job.join();
    ASSERT_EQ(problems, std::vector<std::string>(4, "served")) << "round " << round;
  }
}

// The durability steps go through the sync seam: a flush that fails fails the delivery, before
// the rename (the file's flush) or after it (new/'s flush).
TEST_F(QuarantineTest, AFailedFlushFailsTheDelivery) {
  std::string problem;
  const auto quarantine = Quarantine::open((root_ / "q").string(), &problem);
  ASSERT_NE(quarantine, nullptr);
  static int calls = 0;
  static int failing_call = 0;
  Quarantine::setSyncForTesting([](int) {
    if (++calls != failing_call) return 0;
    errno = EIO;
    return -1;
  });
  for (const int fail_at : {1, 2}) {
    SCOPED_TRACE(fail_at);
    calls = 0;
    failing_call = fail_at;
    auto delivery = quarantine->begin("X: 1\n", &problem);
    ASSERT_TRUE(delivery && delivery->write("Subject: s\n\n"));
    EXPECT_FALSE(delivery->finish());
    EXPECT_NE(delivery->problem().find("Input/output error"), std::string::npos)
        << delivery->problem();
    EXPECT_EQ(files("new").size(), fail_at == 1 ? 0u : 1u);
  }
  Quarantine::setSyncForTesting(nullptr);
  EXPECT_TRUE(files("tmp").empty());
}

// A run that stopped before its DELE finds the copy it stored by the tag in its name, once, and
// only for the same account and header.
TEST_F(QuarantineTest, ACopyStoredBeforeIsFoundByItsTag) {
  std::string problem;
  const std::string header = "From: x@spam.example\nSubject: cheap\n";
  HeaderDigest digest;
  digest.add(header + "\nbody\n");
  const std::string judged = digest.value();
  const std::string tag = messageTag("jo@pop.example.org", 300, judged);
  {
    const auto quarantine = Quarantine::open((root_ / "q").string(), &problem);
    auto delivery = quarantine->begin(
        verdictFieldLine("deny", "jo@pop.example.org", 1765400700), &problem, tag);
    ASSERT_TRUE(delivery && delivery->write(header + "\nbody\n") && delivery->finish());
    EXPECT_NE(delivery->name().find(",X=" + tag), std::string::npos) << delivery->name();
    EXPECT_TRUE(isQuarantineName(delivery->name()));
    // Not found by the quarantine opened before it was stored.
    std::string file;
    EXPECT_FALSE(quarantine->holds(tag, "jo@pop.example.org", judged, &file));
  }
  const auto quarantine = Quarantine::open((root_ / "q").string(), &problem);
  std::string file;
  EXPECT_FALSE(quarantine->holds(tag, "ann@pop.example.org", judged, &file));
  EXPECT_FALSE(quarantine->holds(messageTag("jo@pop.example.org", 301, judged),
                                 "jo@pop.example.org", judged, &file));
  EXPECT_FALSE(quarantine->holds(tag, "jo@pop.example.org", std::string(64, '0'), &file));
  ASSERT_TRUE(quarantine->holds(tag, "jo@pop.example.org", judged, &file));
  EXPECT_EQ(file, "new/" + files("new")[0]);
  EXPECT_FALSE(quarantine->holds(tag, "jo@pop.example.org", judged, &file));
}

TEST(QuarantineNameTest, OnlyTheNamesItGives) {
  for (const char* name : {"1765400700.M123P45Q1.host", "1.M1P1Q1.h,X=0123456789abcdef",
                           "1.M1P1Q1.host:2,S"}) {
    EXPECT_TRUE(isQuarantineName(name)) << name;
  }
  for (const char* name : {"", "1765400700.M123P45.host", "1.M1P1Q1.", "1.M1P1Q1", "x.M1P1Q1.h",
                           "dovecot-uidlist", "1.M.P1Q1.h", "notes.txt"}) {
    EXPECT_FALSE(isQuarantineName(name)) << name;
  }
}

// Two copies of a header compare equal whatever their line ends and dot-stuffing; the body and
// everything after the empty line do not count.
TEST(HeaderDigestTest, TheSameHeaderHoweverItCame) {
  auto of = [](std::initializer_list<std::string_view> pieces) {
    HeaderDigest digest;
    for (std::string_view piece : pieces) digest.add(piece);
    return digest.value();
  };
  const std::string stored = of({"From: a\nSubject: s\n\nbody\n"});
  EXPECT_EQ(of({"From: a\r\nSubj", "ect: s\r", "\n\r\nother body"}), stored);
  EXPECT_EQ(of({"From: a\r\r\nSubject: s\r\r\n\r\r\n"}), stored);
  EXPECT_EQ(of({"From: a\nSubject: s"}), stored);  // all header, no empty line
  EXPECT_EQ(replyHeaderDigest("From: a\r\nSubject: s\r\n\r\n.\r\n"), stored);
  EXPECT_EQ(replyHeaderDigest("From: a\r\nSubject: s\r\n.\r\n"), stored);
  EXPECT_NE(of({"From: a\nSubject: S\n\n"}), stored);
  EXPECT_NE(of({"From: a\n\nSubject: s\n\n"}), stored);
  EXPECT_NE(of({"From: a\rSubject: s\n\n"}), stored);  // a CR inside a line is kept
  EXPECT_NE(of({""}), stored);
  // Dot-stuffed lines, and a lone "." that a bare LF ends, as the stored copy holds them.
  EXPECT_EQ(replyHeaderDigest("..X: a\r\n.\nY: b\r\n\r\n.\r\n"), of({".X: a\n.\nY: b\n\n"}));
}

// A write that the file system refuses (here: the file size limit, as a full disk or a quota
// would) fails the delivery and leaves nothing behind.
TEST_F(QuarantineTest, AFailedWriteFailsTheDelivery) {
  std::string problem;
  const auto quarantine = Quarantine::open((root_ / "q").string(), &problem);
  ASSERT_NE(quarantine, nullptr);
  auto delivery = quarantine->begin("X: 1\n", &problem);
  ASSERT_NE(delivery, nullptr);
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = before;
  small.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool wrote = delivery->write(std::string(4096, 'a'));
  ::setrlimit(RLIMIT_FSIZE, &before);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(wrote);
  EXPECT_NE(delivery->problem().find("File too large"), std::string::npos) << delivery->problem();
  EXPECT_FALSE(delivery->finish());
  delivery->abandon();
  EXPECT_TRUE(files("tmp").empty());
  EXPECT_TRUE(files("new").empty());
}

TEST(VerdictFieldTest, OneLineWhateverTheReason) {
  const std::time_t when = 1765400700;  // a fixed moment; the text is in local time
  char stamp[32];
  std::tm local{};
  localtime_r(&when, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M", &local);
  EXPECT_EQ(verdictFieldLine("deny rule \"^Subject:.*casino\"", "alice@pop.example.org", when),
            std::string("X-Pollensift-Verdict: deny rule \"^Subject:.*casino\" "
                        "(alice@pop.example.org, ") + stamp + ")\n");
  EXPECT_EQ(verdictFieldLine("a\r\nX-Evil: 1", "u@s", when),
            std::string("X-Pollensift-Verdict: a\\x0d\\x0aX-Evil: 1 (u@s, ") + stamp + ")\n");
}

}  // namespace
