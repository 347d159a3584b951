#include "report/reporter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "config/settings.h"
#include "report/warning.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings::instance().resetForTesting();
    Reporter::instance().resetForTesting();
    dir_ = fs::temp_directory_path() / ("ps-report-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    Reporter::instance().resetForTesting();
    fs::remove_all(dir_);
  }
  fs::path dir_;
};

const std::regex kStamp(
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]");

TEST_F(ReporterTest, HidesEachSecretWholeWhereverItStands) {
  Reporter& reporter = Reporter::instance();
  EXPECT_EQ(reporter.withoutSecrets("tok tok"), "tok tok");
  reporter.hideSecret("");
  reporter.hideSecret("tok");
  reporter.hideSecret("auth=tok;");  // a longer form holding the shorter goes whole
  reporter.hideSecret("tok");
  EXPECT_EQ(reporter.withoutSecrets("tok, auth=tok; (tok)"), "*****, ***** (*****)");
  // Shorter than 4 characters, a secret is hidden only where it stands as a word of its own; a
  // longer one wherever it stands.
  EXPECT_EQ(reporter.withoutSecrets("xtoky toky tok"), "xtoky toky *****");
  reporter.hideSecret("p");
  EXPECT_EQ(reporter.withoutSecrets("-ERR password p wrong: p"),
            "-ERR password ***** wrong: *****");
  reporter.hideSecret("hunter");
  EXPECT_EQ(reporter.withoutSecrets("xhunter2 hunter"), "x*****2 *****");
  EXPECT_EQ(reporter.withoutSecrets(""), "");
  // Only what quotes a server asks: other lines stay as they are.
  testing::internal::CaptureStdout();
  reporter.print("tok", 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("pollensift: tok\n"), std::string::npos);
  reporter.resetForTesting();
  EXPECT_EQ(reporter.withoutSecrets("tok"), "tok");
}

TEST_F(ReporterTest, LineFormatsOnTerminalAndLog) {
  const fs::path log = dir_ / "log";
  std::ofstream(log) << "old line\n";
  ASSERT_TRUE(Reporter::instance().openLog(log.string()));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Reporter::instance().print("hello", 3);
  Reporter::instance().error("broken", 1);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, std::regex("(.{15}) pollensift: hello\n")));
  EXPECT_TRUE(std::regex_match(m[1].str(), kStamp)) << out;
  ASSERT_TRUE(std::regex_match(err, m, std::regex("(.{15}) pollensift: Error: broken\n")));
  EXPECT_EQ(slurp(log), "old line\n" + out + err);
}

// Lines held back while a scan reads ahead come after those written once it judges again, in
// their own order and stream, or not at all.
TEST_F(ReporterTest, HeldLinesFollowLaterOnesOrAreDropped) {
  const fs::path log = dir_ / "log";
  ASSERT_TRUE(Reporter::instance().openLog(log.string()));
  Reporter& reporter = Reporter::instance();
  reporter.setLevel(3);
  for (const bool write : {true, false}) {
    SCOPED_TRACE(write);
    fs::resize_file(log, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    reporter.holdLines(true);
    reporter.error("closed", 1);
    reporter.print("held", 3);
    reporter.print("quiet", 5);  // above the level: not even held
    reporter.holdLines(false);
    reporter.print("verdict", 3);
    reporter.releaseHeldLines(write);
    reporter.print("after", 3);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::regex stamps(".{15} pollensift: ");
    const std::string shown = std::regex_replace(slurp(log), stamps, "");
    if (write) {
      EXPECT_EQ(shown, "verdict\nError: closed\nheld\nafter\n");
      EXPECT_EQ(std::regex_replace(out, stamps, ""), "verdict\nheld\nafter\n");
      EXPECT_EQ(std::regex_replace(err, stamps, ""), "Error: closed\n");
    } else {
      EXPECT_EQ(shown, "verdict\nafter\n");
      EXPECT_EQ(err, "");
    }
  }
}

TEST_F(ReporterTest, VerbosityGatesEveryLine) {
  struct Case {
    int verbose;
    std::string expected_levels;
  };
  for (const Case& c : {Case{0, ""}, Case{3, "123"}, Case{6, "123456"}}) {
    Settings::instance().resetForTesting();
    Settings::instance().setVerbose(c.verbose);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int level = 1; level <= 6; ++level) {
      Reporter::instance().print(std::to_string(level), level);
    }
    Reporter::instance().error("e", 1);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    std::string seen;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) seen += line.back();
    EXPECT_EQ(seen, c.expected_levels) << "verbose " << c.verbose;
    EXPECT_EQ(err.empty(), c.verbose == 0);
  }
}

TEST_F(ReporterTest, ControlCharactersAreEscaped) {
  testing::internal::CaptureStdout();
  Reporter::instance().print("Subject: \x1b[2Jgone\r\nFake: line\ttab\x7f", 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(15), " pollensift: Subject: \\x1b[2Jgone\\x0d\\x0aFake: line\ttab\\x7f\n");
  testing::internal::CaptureStdout();
  Reporter::instance().printLines("Debugging: Read: +OK\r\nSubject: \x07\r\n.\r\n", 1);
  const std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(trace.substr(15), " pollensift: Debugging: Read: +OK\nSubject: \\x07\n.\n");
  EXPECT_EQ(escapeControls("caf\xc3\xa9"), "caf\xc3\xa9") << "bytes above 127 pass unchanged";
}

TEST_F(ReporterTest, HeadersStoreFile) {
  EXPECT_FALSE(Reporter::instance().writeHeaders("x")) << "no SHOW_HEADERS";
  const fs::path store = dir_ / "headers";
  Settings::instance().setShowHeaders(store.string());
  ASSERT_TRUE(Reporter::instance().writeHeaders("+OK\r\nA: 1\r\n.\r\n"));
  ASSERT_TRUE(Reporter::instance().writeHeaders("second"));
  EXPECT_EQ(slurp(store), "+OK\r\nA: 1\r\n.\r\n\nsecond\n");
  struct stat st {};
  ASSERT_EQ(stat(store.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ReporterTest, FirstWriteFailureIsReportedOnceAndKept) {
  ASSERT_TRUE(Reporter::instance().openLog("/dev/full")) << "a device is no FIFO";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Reporter::instance().print("one", 3);
  Reporter::instance().print("two", 3);
  testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string failure = "Could not write to log file '/dev/full': No space left on device.";
  EXPECT_EQ(Reporter::instance().writeFailure(), failure);
  EXPECT_EQ(err.substr(15), " pollensift: Error: " + failure + "\n") << "once only";
}

TEST_F(ReporterTest, StartUpWarningsReachTheLogWhenItOpens) {
  testing::internal::CaptureStderr();
  warn("early \x1b");
  const fs::path log = dir_ / "log";
  ASSERT_TRUE(Reporter::instance().openLog(log.string()));
  warn("late");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "pollensift: Warning: early \\x1b\npollensift: Warning: late\n");
  const std::string logged = slurp(log);
  EXPECT_TRUE(std::regex_match(logged, std::regex(".{15} pollensift: Warning: early \\\\x1b\n"
                                                  ".{15} pollensift: Warning: late\n")))
      << logged;
}

TEST_F(ReporterTest, NewLogIsPrivateExistingKeepsItsMode) {
  const fs::path fresh = dir_ / "fresh.log";
  ASSERT_TRUE(Reporter::instance().openLog(fresh.string()));
  struct stat st {};
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Reporter::instance().resetForTesting();
  const fs::path existing = dir_ / "existing.log";
  std::ofstream(existing) << "";
  chmod(existing.c_str(), 0644);
  ASSERT_TRUE(Reporter::instance().openLog(existing.string()));
  ASSERT_EQ(stat(existing.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_FALSE(Reporter::instance().openLog(""));
  EXPECT_FALSE(Reporter::instance().openLog((dir_ / "no/such/dir/log").string()));
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(Reporter::instance().openLog((dir_ / "fifo").string())) << "no open that blocks";
  EXPECT_EQ(Reporter::instance().logProblem(), "is a FIFO, not a regular file");
}

}  // namespace
