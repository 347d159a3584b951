#include "driver/saved_mail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Seen {
  std::string origin;
  std::string header;
  int64_t size;
  bool too_long;
  bool operator==(const Seen& other) const {
    return origin == other.origin && header == other.header && size == other.size &&
           too_long == other.too_long;
  }
};

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
  return out << "{" << seen.origin << ", " << testing::PrintToString(seen.header) << ", "
             << seen.size << (seen.too_long ? ", too long}" : "}");
}

std::vector<Seen> readText(const std::string& text) {
  std::istringstream input(text);
  std::vector<Seen> seen;
  std::string error;
  EXPECT_TRUE(readSavedStream(
      input, "in",
      [&](const SavedMessage& m) {
        seen.push_back({m.origin, m.header, m.size, m.header_too_long});
      },
      error));
  EXPECT_EQ(error, "");
  return seen;
}

TEST(SavedMailTest, MessagesAsAServerShowsThem) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<Seen> messages;
  };
  const std::vector<Case> cases = {
      {"LF line ends count as CR LF; the body is not kept",
       "Subject: a\nFrom: b\n\nbody\n",
       {{"in", "Subject: a\r\nFrom: b\r\n\r\n.\r\n", 12 + 9 + 2 + 6, false}}},
      {"CR LF line ends stay",
       "Subject: a\r\n\r\nbody\r\n",
       {{"in", "Subject: a\r\n\r\n.\r\n", 20, false}}},
      {"a header without body or blank line",
       "Subject: a\n",
       {{"in", "Subject: a\r\n\r\n.\r\n", 12, false}}},
      {"a last line without line end counts as it stands",
       "Subject: a\n\nbody",
       {{"in", "Subject: a\r\n\r\n.\r\n", 18, false}}},
      {"an empty file is one empty message", "", {{"in", "\r\n.\r\n", 0, false}}},
      {"CR CR LF ends a line and a CR alone ends the header; the stray CRs still count in the size",
       "Subject: a\r\r\n\r\r\nSubject: b\r\r\n",
       {{"in", "Subject: a\r\n\r\n.\r\n", 13 + 3 + 13, false}}},
      {"a blank line at the end of one message belongs to it",
       "Subject: a\n\nbody\n\n",
       {{"in", "Subject: a\r\n\r\n.\r\n", 22, false}}},
      {"mbox: \"From \" lines after a blank line separate; the blank line belongs to no message; "
       "\">From \" loses one \">\"",
       "From a@b Mon Jan 1 00:00:00 2024\nSubject: one\n\nhi\nFrom here on\n>From x\n\n"
       "From c@d Mon Jan 1 00:00:00 2024\r\nSubject: two\r\n\r\n>>From y\r\n\r\n",
       {{"in:1", "Subject: one\r\n\r\n.\r\n", 14 + 2 + 4 + 14 + 8, false},
        {"in:8", "Subject: two\r\n\r\n.\r\n", 14 + 2 + 9, false}}},
      {"mbox: a \"From \" line in a header is a separator only after a blank line",
       "From a@b x\nSubject: one\nFrom x\n\n",
       {{"in:1", "Subject: one\r\nFrom x\r\n\r\n.\r\n", 22, false}}},
      {"a file that starts otherwise is one message, whatever follows",
       "Subject: a\n\nFrom x\n\nFrom y\n",
       {{"in", "Subject: a\r\n\r\n.\r\n", 12 + 2 + 8 + 2 + 8, false}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readText(c.text), c.messages) << c.what;
  }
}

TEST(SavedMailTest, AnOverlongHeaderIsCutAndMarked) {
  const std::string line = "X-Long: " + std::string(kMaxSavedHeader, 'x') + "\n";
  const std::vector<Seen> seen = readText("Subject: a\n" + line + "\nbody\n");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].too_long);
  EXPECT_EQ(seen[0].header, "\r\n.\r\n");
  EXPECT_EQ(seen[0].size, static_cast<int64_t>(12 + line.size() + 1 + 2 + 6));
  // Many short lines reach the bound too.
  std::string many;
  for (size_t i = 0; i <= kMaxSavedHeader / 8; ++i) many += "X-A: b\n";
  EXPECT_TRUE(readText(many + "\n")[0].too_long);
  EXPECT_FALSE(readText("X-A: b\n\n" + line)[0].too_long) << "a long body line does not count";
}

class SavedMailFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/saved-mail-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  std::vector<std::string> origins(const std::string& path, bool expect_ok = true) {
    std::vector<std::string> seen;
    errors_.clear();
    EXPECT_EQ(readSavedMail(
                  path, [&](const SavedMessage& m) { seen.push_back(m.origin); },
                  [&](const std::string& error) { errors_.push_back(error); }),
              expect_ok);
    EXPECT_EQ(errors_.empty(), expect_ok);
    return seen;
  }

  std::string dir_;
  std::vector<std::string> errors_;
};

TEST_F(SavedMailFilesTest, MaildirInTheOrderOfTheFileNames) {
  ::mkdir((dir_ + "/md").c_str(), 0700);
  ::mkdir((dir_ + "/md/cur").c_str(), 0700);
  ::mkdir((dir_ + "/md/new").c_str(), 0700);
  ::mkdir((dir_ + "/md/tmp").c_str(), 0700);
  ::mkdir((dir_ + "/md/cur/sub").c_str(), 0700);
  write("md/new/1700000003.M3.host", "Subject: c\n");
  write("md/cur/1700000001.M1.host:2,S", "Subject: a\n");
  write("md/new/1700000002.M2.host", "Subject: b\n");
  write("md/cur/.hidden", "Subject: x\n");
  write("md/tmp/1700000000.M0.host", "Subject: half delivered\n");
  EXPECT_EQ(origins(dir_ + "/md"),
            (std::vector<std::string>{dir_ + "/md/cur/1700000001.M1.host:2,S",
                                      dir_ + "/md/new/1700000002.M2.host",
                                      dir_ + "/md/new/1700000003.M3.host"}));
}

TEST_F(SavedMailFilesTest, WhatCannotBeRead) {
  struct Case {
    std::string path;
    std::string error;
  };
  ::mkdir((dir_ + "/plain").c_str(), 0700);
  ::mkfifo((dir_ + "/fifo").c_str(), 0600);
  const std::vector<Case> cases = {
      {dir_ + "/missing", dir_ + "/missing: No such file or directory"},
      {dir_ + "/plain", dir_ + "/plain: a directory without cur/ or new/, so not a Maildir"},
      // A FIFO would wait for a writer for ever.
      {dir_ + "/fifo", dir_ + "/fifo: not a regular file, a Maildir or -"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(origins(c.path, false).empty());
    EXPECT_EQ(errors_, std::vector<std::string>{c.error});
  }
  const std::string mbox = write("mbox", "From a\nSubject: 1\n\nFrom b\nSubject: 2\n");
  EXPECT_EQ(origins(mbox), (std::vector<std::string>{mbox + ":1", mbox + ":4"}));
}

}  // namespace
