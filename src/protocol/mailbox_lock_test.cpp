#include "protocol/mailbox_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

class MailboxLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/mailbox-lock-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    root_ = name;
    dir_ = root_ + "/locks";
    MailboxLock::setDirectoryForTesting(dir_);
  }
  void TearDown() override {
    MailboxLock::setDirectoryForTesting("");
    std::filesystem::remove_all(root_);
  }
  std::string root_;
  std::string dir_;
};

TEST_F(MailboxLockTest, OneHolderPerMailboxUntilItLetsGo) {
  auto first = std::make_unique<MailboxLock>("pop.example.org", 110, "jo");
  EXPECT_FALSE(first->heldElsewhere());
  EXPECT_EQ(first->problem(), "");
  // Made on first use, private to the user.
  struct stat status {};
  ASSERT_EQ(::stat(dir_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_EQ(first->path().rfind(dir_ + "/", 0), 0u);
  EXPECT_EQ(first->path().size(), dir_.size() + 1 + 64 + 5) << "a SHA-256 digest and .lock";
  EXPECT_EQ(first->path().find("jo"), std::string::npos) << "the name tells nothing of the box";

  const MailboxLock second("pop.example.org", 110, "jo");
  EXPECT_TRUE(second.heldElsewhere());
  EXPECT_EQ(second.problem(), "");
  EXPECT_EQ(second.path(), first->path());
  // Any of server, port or user makes another mailbox.
  for (const auto& [server, port, user] :
       {std::tuple("pop.example.org", 995, "jo"), std::tuple("pop.example.org", 110, "ann"),
        std::tuple("mail.example.org", 110, "jo")}) {
    const MailboxLock other(server, port, user);
    EXPECT_FALSE(other.heldElsewhere()) << server << port << user;
    EXPECT_NE(other.path(), first->path());
  }
  first.reset();
  const MailboxLock again("pop.example.org", 110, "jo");
  EXPECT_FALSE(again.heldElsewhere());
}

TEST_F(MailboxLockTest, ADirectoryOthersCouldWriteToIsNotUsed) {
  ASSERT_EQ(::mkdir(dir_.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
  const MailboxLock lock("pop.example.org", 110, "jo");
  EXPECT_FALSE(lock.heldElsewhere());
  EXPECT_EQ(lock.problem(), "'" + dir_ + "' is not a directory of this user's own");
  // Nor a symbolic link to one of ours, which another user could have planted.
  ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
  const std::string link = root_ + "/link";
  ASSERT_EQ(::symlink(dir_.c_str(), link.c_str()), 0);
  MailboxLock::setDirectoryForTesting(link);
  const MailboxLock through_link("pop.example.org", 110, "jo");
  EXPECT_EQ(through_link.problem(), "'" + link + "' cannot be opened: Not a directory");
}

}  // namespace
