#include "config/settings.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "config/fake_account_objects.h"
#include "report/fatal.h"
#include "text/compare.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings().resetForTesting();
    installFakeAccountObjects(settings());
    setFatalHandler([](const std::string& text, int status) { throw FatalExit(text, status); });
  }
  void TearDown() override { setFatalHandler(nullptr); }
  static Settings& settings() { return Settings::instance(); }
};

std::string fatalText(const std::function<void()>& action) {
  try {
    action();
  } catch (const FatalExit& e) {
    EXPECT_EQ(e.status, -1);
    return e.what();
  }
  return "(no fatal error)";
}

TEST_F(SettingsTest, Defaults) {
  Settings& s = settings();
  EXPECT_EQ(s.verbose(), 3);
  EXPECT_EQ(s.timeout(), 30);
  EXPECT_EQ(s.highscore(), 100);
  EXPECT_EQ(s.maxsizeDeny(), 0);
  EXPECT_EQ(s.maxsizeAllow(), 0);
  EXPECT_EQ(s.maxsizeScore(), std::make_pair(0, 0));
  EXPECT_EQ(s.maxlength(), 0);
  EXPECT_EQ(s.regCase(), REG_ICASE);
  EXPECT_EQ(s.regType(), 0);
  EXPECT_FALSE(s.normal() || s.test() || s.delDuplicates() || s.returnValue() ||
               s.ignoreTimeStamps() || s.skipSslVerify());
  EXPECT_TRUE(s.logfile().empty() && s.showHeaders().empty() && s.pollensiftrc().empty());
  EXPECT_TRUE(s.accounts().empty());
}

TEST_F(SettingsTest, FirstValueWinsForVerboseTestAndLogfile) {
  Settings& s = settings();
  s.setVerbose(5);
  s.setVerbose(2);
  EXPECT_EQ(s.verbose(), 5);
  s.setTest("yes");
  s.setTest("no");
  EXPECT_TRUE(s.test());
  s.setLogfile("/tmp/first.log");
  s.setLogfile("/tmp/second.log");
  EXPECT_EQ(s.logfile(), "/tmp/first.log");
  s.setHighscore(5);
  s.setHighscore(7);
  EXPECT_EQ(s.highscore(), 7);
}

TEST_F(SettingsTest, YesValuesIgnoreCase) {
  Settings& s = settings();
  s.setTest("YeS");
  s.setNormal("YES");
  s.setDelDuplicates("no");
  s.setRegCase("yes");
  EXPECT_TRUE(s.test());
  EXPECT_TRUE(s.normal());
  EXPECT_FALSE(s.delDuplicates());
  EXPECT_EQ(s.regCase(), 0);
  s.setRegCase("maybe");
  EXPECT_EQ(s.regCase(), REG_ICASE);
}

TEST_F(SettingsTest, FileNamesAreShellExpanded) {
  setenv("POLLENSIFT_TEST_DIR", "/tmp/ps dir", 1);
  settings().setShowHeaders("~/headers two");
  EXPECT_EQ(settings().showHeaders(), std::string(getenv("HOME")) + "/headers");
  settings().setLogfile("\"$POLLENSIFT_TEST_DIR/log\"");
  EXPECT_EQ(settings().logfile(), "/tmp/ps dir/log");
}

TEST_F(SettingsTest, BadFileNamesAreFatal) {
  EXPECT_EQ(fatalText([] { Settings::instance().setLogfile("'unterminated"); }),
            "pollensift: Error: Invalid logfile name: `'unterminated'.\n");
  EXPECT_EQ(fatalText([] { Settings::instance().setShowHeaders("$POLLENSIFT_SURELY_UNSET"); }),
            "pollensift: Error: Invalid headers store-file name: `$POLLENSIFT_SURELY_UNSET'.\n");
}

TEST_F(SettingsTest, ProtocolNamesIgnoreCase) {
  const std::pair<const char*, int> cases[] = {
      {"pop3", 2}, {"Apop", 4}, {"pop3/ssl", 4098}, {"APOP/SSL", 4100}};
  settings().setServer("pop.example.org");
  settings().setPass("secret");
  for (const auto& [name, code] : cases) {
    settings().setUser(name);
    settings().setProtocol(name);
    settings().setPort(110);
    EXPECT_EQ(fakeObjectsCode(settings().accounts().back()), code) << name;
  }
  EXPECT_EQ(fatalText([] { Settings::instance().setProtocol("IMAP"); }),
            "pollensift: Error: Only supported protocols are POP3 and APOP (SSL only if OpenSSL "
            "is available).\n"
            "pollensift: PROTOCOL \"IMAP\" is none of the valid values: \"POP3\", \"APOP\", "
            "\"POP3/SSL\", \"APOP/SSL\", \"POP3/STLS\", \"APOP/STLS\".\n");
}

TEST_F(SettingsTest, AccountsShareObjectsUntilTheNextProtocol) {
  Settings& s = settings();
  s.setServer("mail.example.org");
  s.setUser("ann");
  s.setPass("secret");
  s.setProtocol("POP3");
  s.setPort(110);
  s.setUser("bob");
  s.setPass("other");
  s.setPort(995);
  s.setProtocol("APOP");
  s.setPort(110);
  ASSERT_EQ(s.accounts().size(), 3u);
  const MailAccount& a = s.accounts()[0];
  const MailAccount& b = s.accounts()[1];
  const MailAccount& c = s.accounts()[2];
  EXPECT_EQ(b.server(), "mail.example.org");
  EXPECT_EQ(b.user(), "bob");
  EXPECT_EQ(a.user(), "ann");
  EXPECT_EQ(b.port(), 995);
  // The protocol object and its connection come together (their pairing is the factory's).
  ASSERT_NE(a.objects(), nullptr);
  EXPECT_EQ(a.objects(), b.objects());
  EXPECT_NE(c.objects(), b.objects());
  EXPECT_EQ(fakeObjectsCode(c), 4);
}

TEST_F(SettingsTest, PortBeforeProtocolIsFatal) {
  settings().setServer("pop.example.org");
  settings().setUser("ann");
  settings().setPass("secret");
  EXPECT_EQ(fatalText([] { Settings::instance().setPort(110); }),
            "pollensift: Error: The account ann@pop.example.org is completed by PORT before any "
            "PROTOCOL statement.\n");
}

// An account that cannot be checked, or a mailbox checked twice, is refused while the rc file is
// read, naming the account, the PORT line and what is wrong.
TEST_F(SettingsTest, AccountsThatCannotBeRightAreFatal) {
  struct Case {
    const char* name;
    std::function<void(Settings&)> fill;
    int port;
    std::string message;
  };
  const auto complete = [](Settings& s) {
    s.setServer("Pop.Example.org");
    s.setUser("ann");
    s.setPass("secret");
    s.setProtocol("POP3");
  };
  const Case cases[] = {
      {"no server",
       [](Settings& s) {
         s.setUser("ann");
         s.setPass("x");
       },
       110,
       "The account 'ann@' completed by PORT in line 9 of your main rcfile has no SERVER and "
       "no PROTOCOL."},
      {"nothing at all", [](Settings&) {}, 110,
       "The account '@' completed by PORT in line 9 of your main rcfile has no SERVER and no "
       "USER and no PASS and no PROTOCOL."},
      {"no password",
       [](Settings& s) {
         s.setServer("a");
         s.setUser("b");
         s.setProtocol("POP3");
       },
       110, "The account 'b@a' completed by PORT in line 9 of your main rcfile has no PASS."},
      {"port too high", complete, 70000,
       "PORT 70000 in line 9 of your main rcfile is out of range for the account "
       "'ann@Pop.Example.org': a port is a number from 1 to 65535."},
      {"port zero", complete, 0,
       "PORT 0 in line 9 of your main rcfile is out of range for the account "
       "'ann@Pop.Example.org': a port is a number from 1 to 65535."},
      {"same mailbox, server in other case",
       [&](Settings& s) {
         complete(s);
         s.setPort(995, "line 5 of your main rcfile");
         s.setServer("pop.example.ORG");
       },
       995,
       "The mailbox 'ann@pop.example.ORG' on port 995 is listed twice in line 5 of your main "
       "rcfile and line 9 of your main rcfile; list each mailbox once."},
  };
  for (const Case& c : cases) {
    Settings::instance().resetForTesting();
    c.fill(Settings::instance());
    const int port = c.port;
    EXPECT_EQ(
        fatalText([port] { Settings::instance().setPort(port, "line 9 of your main rcfile"); }),
        "pollensift: Error: " + c.message + "\n")
        << c.name;
  }
  // Another user, another port or another server is another mailbox.
  Settings::instance().resetForTesting();
  Settings& s = Settings::instance();
  complete(s);
  s.setPort(110);
  s.setPort(995);
  s.setUser("bob");
  s.setPort(110);
  s.setServer("pop2.example.org");
  s.setPort(110);
  EXPECT_EQ(s.accounts().size(), 4u);
}

TEST_F(SettingsTest, FatalMessagesShowControlCharactersEscaped) {
  // Found by fuzzing the rc reader: quoted values may hold any byte.
  settings().setServer(std::string("pop\x1b[2J\0x", 9));
  settings().setUser("ann\r\nforged line");
  settings().setPass("secret");
  EXPECT_EQ(fatalText([] { Settings::instance().setPort(110); }),
            "pollensift: Error: The account ann\\x0d\\x0aforged line@pop\\x1b[2J\\x00x is "
            "completed by PORT before any PROTOCOL statement.\n");
  EXPECT_EQ(fatalText([] { Settings::instance().setLogfile("'\x07"); }),
            "pollensift: Error: Invalid logfile name: `'\\x07'.\n");
}

TEST_F(SettingsTest, OpenRcFileLookupOrder) {
  namespace fs = std::filesystem;
  const fs::path home = fs::temp_directory_path() / ("ps-home-" + std::to_string(getpid()));
  fs::create_directories(home);
  const char* old_home = getenv("HOME");
  const std::string saved = old_home ? old_home : "";
  setenv("HOME", home.c_str(), 1);

  EXPECT_FALSE(settings().openRcFile(""));
  std::ofstream(home / "_pollensiftrc") << "# second\n";
  settings().resetForTesting();
  EXPECT_TRUE(settings().openRcFile(""));
  EXPECT_EQ(settings().pollensiftrc(), (home / "_pollensiftrc").string());
  std::ofstream(home / ".pollensiftrc") << "# first\n";
  settings().resetForTesting();
  EXPECT_TRUE(settings().openRcFile(""));
  EXPECT_EQ(settings().pollensiftrc(), (home / ".pollensiftrc").string());
  settings().resetForTesting();
  EXPECT_FALSE(settings().openRcFile((home / "missing").string()));
  unsetenv("HOME");
  settings().resetForTesting();
  EXPECT_FALSE(settings().openRcFile(""));

  setenv("HOME", saved.c_str(), 1);
  fs::remove_all(home);
}

TEST(CompareIgnoreCase, OrdersLikeUpperCase) {
  EXPECT_EQ(compareIgnoreCase("deny_nocase", "DENY_NOCASE"), 0);
  EXPECT_EQ(compareIgnoreCase("abc", "abd"), -1);
  EXPECT_EQ(compareIgnoreCase("abd", "ABC"), 1);
  EXPECT_EQ(compareIgnoreCase("ab", "abc"), -1);
  EXPECT_EQ(compareIgnoreCase("abc", "ab"), 1);
  // '_' (0x5f) sorts after upper-case letters but before lower-case ones: case folding is upward.
  EXPECT_EQ(compareIgnoreCase("a_", "aa"), 1);
}

}  // namespace
