#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quarantine/quarantine.h"

namespace {

namespace fs = std::filesystem;

// A moment given as local time text, as the verdict field writes it.
std::time_t at(const char* stamp) {
  std::tm local{};
  ::strptime(stamp, "%Y-%m-%d %H:%M", &local);
  local.tm_isdst = -1;
  return std::mktime(&local);
}

class HeldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The mbox separator is in UTC and the listing in local time: one zone makes both exact.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    root_ = fs::temp_directory_path() / ("pollensift-held-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    for (const char* sub : {"tmp", "new", "cur"}) fs::create_directories(root_ / "q" / sub);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string q() const { return (root_ / "q").string(); }

  // A file of the quarantine, last changed at when.
  void put(const std::string& name, const std::string& text, std::time_t when) {
    const fs::path file = root_ / "q" / name;
    std::ofstream(file, std::ios::binary) << text;
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  }
  bool held(const std::string& name) const { return fs::exists(root_ / "q" / name); }

  std::vector<std::string> listing() const {
    std::vector<HeldMessage> messages;
    std::string problem;
    EXPECT_TRUE(listQuarantine(q(), &messages, &problem)) << problem;
    std::vector<std::string> lines;
    for (const HeldMessage& message : messages) lines.push_back(heldMessageLine(message));
    return lines;
  }

  std::string release(const std::string& file, bool expect_success = true) {
    std::ostringstream out;
    std::string problem;
    EXPECT_EQ(releaseMessage(q(), file, out, &problem), expect_success) << problem;
    return expect_success ? out.str() : problem;
  }

  fs::path root_;
};

TEST_F(HeldTest, TheListingShowsEachMessageNewestFirst) {
  const std::time_t mtime = at("2026-12-01 12:00");  // the files' own times, except one
  put("new/1.M1P1Q1.host",
      "X-Pollensift-Verdict: \"^Subject: (cheap|free)\" matches \"Subject: free (really)\" "
      "(alice@pop.example.org, 2026-12-10 21:05)\n"
      "From: Ann <ann@example.org>\nSubject: Hello\n\tworld\n\nFrom: not a field\n",
      mtime);
  // A client read it: in cur/ with flags. Its header carries terminal controls and a long From.
  put("cur/2.M2P2Q2.host:2,S",
      "X-Pollensift-Verdict: Duplicate (bob@mail.example.com, 2026-12-11 08:00)\n"
      "FROM: " +
          std::string(70, 'x') + "\nsubject: \x1b[31mred\r\n\n",
      mtime);
  // No verdict field: dated by the file, which is the oldest.
  put("new/3.M3P3Q3.host", "Subject: plain\n\nbody\n", at("2026-11-30 09:15"));
  // A field that says no account or time: its reason is all it has.
  put("new/4.M4P4Q4.host", "X-Pollensift-Verdict: Score: 120 (garbled\nSubject: s\n\n", mtime);
  // Neither a hidden file, a directory, a link, nor a delivery still in tmp/ is a message.
  put("new/.hidden", "Subject: no\n\n", mtime);
  put("tmp/5.M5P5Q5.host", "X-Pollensift-Verdict: x (u@s, 2026-12-12 00:00)\n\n", mtime);
  fs::create_directory(root_ / "q" / "cur" / "dir");
  fs::create_symlink(root_ / "q" / "new" / "3.M3P3Q3.host", root_ / "q" / "cur" / "link");

  EXPECT_EQ(
      listing(),
      (std::vector<std::string>{
          "2026-12-11 08:00  bob@mail.example.com  From: " + std::string(60, 'x') +
              "...  Subject: \\x1b[31mred  [Duplicate]  cur/2.M2P2Q2.host:2,S",
          "2026-12-10 21:05  alice@pop.example.org  From: Ann <ann@example.org>  "
          "Subject: Hello world  [\"^Subject: (cheap|free)\" matches \"Subject: free (really)\"]  "
          "new/1.M1P1Q1.host",
          "2026-12-01 12:00  -  From: (none)  Subject: s  [Score: 120 (garbled]  new/4.M4P4Q4.host",
          "2026-11-30 09:15  -  From: (none)  Subject: plain  [no verdict field]  "
          "new/3.M3P3Q3.host",
      }));
}

TEST_F(HeldTest, AQuarantineThatCannotBeReadIsAProblem) {
  std::ofstream(root_ / "file") << "x";
  const struct {
    fs::path path;
    std::string problem;
  } cases[] = {
      {root_ / "missing", "'" + (root_ / "missing").string() + "': No such file or directory."},
      {root_ / "file", "'" + (root_ / "file").string() + "' is not a directory."},
  };
  for (const auto& c : cases) {
    std::vector<HeldMessage> messages;
    std::string problem;
    EXPECT_FALSE(listQuarantine(c.path.string(), &messages, &problem));
    EXPECT_EQ(problem, c.problem);
  }
  // Empty, or without cur/ (some clients make it late): nothing held, no problem.
  fs::remove(root_ / "q" / "cur");
  EXPECT_TRUE(listing().empty());
}

TEST_F(HeldTest, ReleaseWritesAnMboxWithoutTheVerdictField) {
  put("new/1.M1P1Q1.host",
      "X-Pollensift-Verdict: deny rule \"^From \" (a@b, 2026-12-10 21:05)\n"
      "Subject: s\n\nFrom here\n>From there\n>>From x\nFrom\nFromage\n\nlast line without end",
      at("2026-12-01 12:00"));
  const std::string released =
      "From MAILER-DAEMON Thu Dec 10 21:05:00 2026\n"
      "Subject: s\n\n>From here\n>>From there\n>>>From x\nFrom\nFromage\n\nlast line without end\n"
      "\n";
  // As --quarantine names it, or as a path.
  EXPECT_EQ(release("new/1.M1P1Q1.host"), released);
  EXPECT_EQ(release((root_ / "q" / "new" / "1.M1P1Q1.host").string()), released);
  // A mail client moved it to cur/ after it was listed.
  fs::rename(root_ / "q" / "new" / "1.M1P1Q1.host", root_ / "q" / "cur" / "1.M1P1Q1.host:2,S");
  EXPECT_EQ(release("new/1.M1P1Q1.host"), released);

  // Without the field it is released whole, dated by the file; the date pads its day.
  put("cur/2.M2P2Q2.host:2,S", "Subject: t\n\nbody\n", at("2026-12-01 07:08"));
  EXPECT_EQ(release("cur/2.M2P2Q2.host:2,S"),
            "From MAILER-DAEMON Tue Dec  1 07:08:00 2026\nSubject: t\n\nbody\n\n");
}

TEST_F(HeldTest, AFileThatCannotBeReleasedIsNamed) {
  EXPECT_EQ(release("new/gone", false), "'new/gone': No such file or directory.");
  EXPECT_EQ(release("cur", false), "'cur' is a directory.");
  ASSERT_EQ(::mkfifo((root_ / "q" / "new" / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(release("new/fifo", false), "'new/fifo' is a FIFO, not a regular file.");
}

constexpr const char* kStored = "X-Pollensift-Verdict: deny (a@b, 2026-01-01 10:00)\nSubject: x\n\n";

TEST_F(HeldTest, ExpiryRemovesOnlyWhatIsOldEnoughAndItsOwn) {
  const std::time_t now = at("2026-12-31 12:00");
  const std::time_t hour = 3600, day = 24 * hour;
  std::string problem;
  ASSERT_NE(Quarantine::open(q(), &problem), nullptr) << problem;  // adopted: empty
  struct File {
    const char* name;
    std::time_t age;
    bool kept;
    const char* text = kStored;
  };
  const File files[] = {
      {"new/1.M1P1Q1.host", 31 * day, false},
      {"new/2.M2P2Q2.host,X=0123456789abcdef", 29 * day, true},
      {"cur/3.M3P3Q3.host:2,S", 40 * day, false},
      {"cur/4.M4P4Q4.host:2,S", day, true},
      {"tmp/5.M5P5Q5.host", 37 * hour, false},
      {"tmp/6.M6P6Q6.host", 37 * hour, false, ""},  // a run stopped before its first write
      {"tmp/7.M7P7Q7.host", hour, true},
      {"new/.hidden-old", 40 * day, true},
      // Files that pollensift did not write stay, however old: another name, or no field.
      {"new/old", 40 * day, true},
      {"cur/8.M8P8Q8.host:2,S", 40 * day, true, "Subject: a client's own\n\n"},
      {"new/9.M9P9Q9.host", 40 * day, true, ""},
      {"tmp/stale", 40 * day, true},
  };
  for (const File& file : files) put(file.name, file.text, now - file.age);
  fs::create_directory(root_ / "q" / "cur" / "old-directory");

  const Expiry expiry = expireQuarantine(q(), 30, now);
  EXPECT_EQ(expiry.problem, "");
  EXPECT_EQ(expiry.messages, 2);
  EXPECT_EQ(expiry.unfinished, 2);
  for (const File& file : files) EXPECT_EQ(held(file.name), file.kept) << file.name;
  EXPECT_TRUE(held("cur/old-directory"));
}

TEST_F(HeldTest, ExpiryWithZeroDaysKeepsEveryMessage) {
  const std::time_t now = at("2026-12-31 12:00");
  put("new/1.M1P1Q1.host", kStored, now - 3650 * 24 * 3600);
  put("tmp/2.M2P2Q2.host", kStored, now - 37 * 3600);
  const Expiry expiry = expireQuarantine(q(), 0, now);
  EXPECT_EQ(expiry.messages, 0);
  EXPECT_EQ(expiry.unfinished, 1);
  EXPECT_TRUE(held("new/1.M1P1Q1.host"));
  EXPECT_FALSE(held("tmp/2.M2P2Q2.host"));
}

// A folder that is no quarantine a run would use is said to be so, and nothing in it is removed:
// a file, the home directory, a Maildir of real mail.
TEST_F(HeldTest, ExpiryOfWhatIsNoQuarantine) {
  const Expiry missing = expireQuarantine((root_ / "missing").string(), 30, std::time(nullptr));
  EXPECT_EQ(missing.problem, "");
  std::ofstream(root_ / "file") << "x";
  const Expiry file = expireQuarantine((root_ / "file").string(), 30, std::time(nullptr));
  EXPECT_EQ(file.problem, "'" + (root_ / "file").string() + "' is not a directory.");
  EXPECT_TRUE(fs::exists(root_ / "file"));

  const std::time_t now = at("2026-12-31 12:00");
  put("new/1.M1P1Q1.host", kStored, now - 40 * 86400);
  put("cur/2.M2P2Q2.host:2,S", "Subject: real mail\n\n", now - 40 * 86400);
  const Expiry mailbox = expireQuarantine(q(), 30, now);
  EXPECT_EQ(mailbox.problem, "'" + q() + "' is a folder that pollensift did not make: '" + q() +
                                 "/cur/2.M2P2Q2.host:2,S' is no message that it stored.");
  EXPECT_EQ(mailbox.messages, 0);
  EXPECT_TRUE(held("new/1.M1P1Q1.host"));

  const char* home = std::getenv("HOME");
  const std::string saved = home != nullptr ? home : "";
  ::setenv("HOME", q().c_str(), 1);
  fs::remove(root_ / "q" / "cur" / "2.M2P2Q2.host:2,S");
  const Expiry in_home = expireQuarantine(q(), 30, now);
  ::setenv("HOME", saved.c_str(), 1);
  EXPECT_EQ(in_home.problem, "'" + q() + "' is the home directory.");
  EXPECT_TRUE(held("new/1.M1P1Q1.host"));
}

// A header whose first line is a continuation line is the message's own, not the field's.
TEST_F(HeldTest, ReleaseKeepsALineThatFollowsTheField) {
  put("new/1.M1P1Q1.host", "X-Pollensift-Verdict: deny (a@b, 2026-12-10 21:05)\n folded\n"
      "Subject: s\n\nbody\n", at("2026-12-01 12:00"));
  EXPECT_EQ(release("new/1.M1P1Q1.host"),
            "From MAILER-DAEMON Thu Dec 10 21:05:00 2026\n folded\nSubject: s\n\nbody\n\n");
}

// --release --remove: a released message leaves the quarantine; nothing else is removed.
TEST_F(HeldTest, ARemovedMessageIsOnlyOneOfTheQuarantine) {
  put("new/1.M1P1Q1.host", kStored, at("2026-12-01 12:00"));
  put("cur/2.M2P2Q2.host:2,S", kStored, at("2026-12-01 12:00"));
  put("new/3.M3P3Q3.host", "Subject: no field\n\n", at("2026-12-01 12:00"));
  std::ofstream(root_ / "outside") << kStored;
  std::string read_from;
  std::string problem;
  std::ostringstream out;
  ASSERT_TRUE(releaseMessage(q(), "new/1.M1P1Q1.host", out, &problem, &read_from));
  EXPECT_TRUE(removeReleased(q(), read_from, &problem)) << problem;
  EXPECT_FALSE(held("new/1.M1P1Q1.host"));
  EXPECT_TRUE(removeReleased(q(), q() + "/cur/2.M2P2Q2.host:2,S", &problem)) << problem;
  EXPECT_FALSE(held("cur/2.M2P2Q2.host:2,S"));
  for (const std::string& kept : {q() + "/new/3.M3P3Q3.host", (root_ / "outside").string()}) {
    EXPECT_FALSE(removeReleased(q(), kept, &problem));
    EXPECT_EQ(problem, "'" + kept + "' is no message of the quarantine; it stays where it is.");
    EXPECT_TRUE(fs::exists(kept));
  }
}

}  // namespace
