#include "quarantine/quarantine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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
  std::ofstream(root_ / "file") << "x";
  fs::create_directory(root_ / "partial");
  std::ofstream(root_ / "partial" / "new") << "x";
  struct Case {
    fs::path path;
    std::string problem;
  };
  const Case cases[] = {
      {root_ / "file", "'" + (root_ / "file").string() + "' is not a directory."},
      {root_ / "partial", "'" + (root_ / "partial" / "new").string() + "' is not a directory."},
      {root_ / "missing" / "q",
       "'" + (root_ / "missing" / "q").string() + "' cannot be made: No such file or directory."},
  };
  for (const Case& c : cases) {
    std::string problem;
    EXPECT_EQ(Quarantine::open(c.path.string(), &problem), nullptr);
    EXPECT_EQ(problem, c.problem);
  }
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
