#include "config/rc_file.h"

#include <gtest/gtest.h>
#include <regex.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/fake_account_objects.h"
#include "config/rc_diagnostics.h"
#include "config/rc_lexer.h"
#include "config/settings.h"
#include "report/fatal.h"
#include "rules/rules.h"
#include "text/shell_word.h"

namespace {

namespace fs = std::filesystem;

// What parsing one rc file came to: accepted, or the fatal text and status.
struct Outcome {
  bool accepted = false;
  std::string error;
  int status = 0;
};

class RcFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    dir_ = fs::temp_directory_path() /
           ("pollensift-rc-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(dir_);
    setFatalHandler([](const std::string& text, int status) { throw FatalExit(text, status); });
  }
  void TearDown() override {
    setFatalHandler(nullptr);
    fs::remove_all(dir_);
  }

  std::string write(const std::string& name, const std::string& text) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  // Parses the file at path into a fresh Settings with fake account objects.
  static Outcome parseFile(const std::string& path) {
    Settings& settings = Settings::instance();
    settings.resetForTesting();
    installFakeAccountObjects(settings);
    Outcome outcome;
    if (!settings.openRcFile(path)) {
      outcome.error = "(rc file not opened)";
      return outcome;
    }
    try {
      outcome.accepted = parseRcFile(settings);
    } catch (const FatalExit& e) {
      outcome.error = e.what();
      outcome.status = e.status;
    }
    return outcome;
  }

  Outcome parse(const std::string& text) { return parseFile(write("rc", text)); }

  fs::path dir_;
};

Settings& settings() {
  return Settings::instance();
}

// Rows whose file is accepted, with the facts it must leave in Settings.
struct AcceptedCase {
  const char* name;
  std::string text;
  std::function<void(Settings&)> check;
};

TEST_F(RcFileTest, AcceptedFilesFillSettings) {
  const AcceptedCase cases[] = {
      {"empty file", "", [](Settings& s) { EXPECT_EQ(s.verbose(), 3); }},
      {"comments and blank lines", "# a comment\n\n   \t# indented comment\n\t\n",
       [](Settings& s) {
         EXPECT_EQ(s.verbose(), 3);
         EXPECT_TRUE(s.denyRules().empty());
       }},
      {"keywords in any case", "verbose = 5\nTimeOut = 9\nnormal = \"YES\"\n",
       [](Settings& s) {
         EXPECT_EQ(s.verbose(), 5);
         EXPECT_EQ(s.timeout(), 9);
         EXPECT_TRUE(s.normal());
       }},
      {"keyword text reaches the adder as written",
       "Deny_Case = \"a\"\ndeny_nocase <> \"b\"\nDENY = \"c\"\n",
       [](Settings& s) {
         ASSERT_EQ(s.denyRules().size(), 3u);
         EXPECT_EQ(s.denyRules()[0].cflags(), 0);
         EXPECT_EQ(s.denyRules()[1].cflags(), REG_ICASE);
         EXPECT_TRUE(s.denyRules()[1].negated());
         EXPECT_EQ(s.denyRules()[2].cflags(), REG_ICASE);
         EXPECT_EQ(s.negativeDenyCount(), 1);
       }},
      {"yes and no in any case",
       "TEST = \"yEs\"\nDEL_DUPLICATES = \"No\"\nREG_CASE=\"YES\"\npipelining = \"nO\"\n",
       [](Settings& s) {
         EXPECT_TRUE(s.test());
         EXPECT_FALSE(s.delDuplicates());
         EXPECT_EQ(s.regCase(), 0);
         EXPECT_FALSE(s.pipelining());
       }},
      {"numbers with signs",
       "TIMEOUT = -0\nHIGHSCORE = +12\nMAXLENGTH = -\nMAXSIZE_DENY = 007\n"
       "MAXSIZE_ALLOW = -2147483648\nMAXSIZE_SCORE -3 = 2147483647\n",
       [](Settings& s) {
         EXPECT_EQ(s.timeout(), 0);
         EXPECT_EQ(s.highscore(), 12);
         EXPECT_EQ(s.maxlength(), 0);
         EXPECT_EQ(s.maxsizeDeny(), 7);
         EXPECT_EQ(s.maxsizeAllow(), -2147483648);
         EXPECT_EQ(s.maxsizeScore(), std::make_pair(-3, 2147483647));
       }},
      {"keyword alone on a line, the rest on the next", "DENY\n= \"x\"\nALLOW <>\n\"y\"\n",
       [](Settings& s) {
         ASSERT_EQ(s.denyRules().size(), 1u);
         EXPECT_EQ(s.denyRules()[0].expression(), "x");
         ASSERT_EQ(s.allowRules().size(), 1u);
         EXPECT_EQ(s.negativeAllowCount(), 1);
       }},
      {"two statements on one line, no final line end", "VERBOSE = 4 TIMEOUT = 8",
       [](Settings& s) {
         EXPECT_EQ(s.verbose(), 4);
         EXPECT_EQ(s.timeout(), 8);
       }},
      {"quoted value keeps blanks, hashes and inner quotes",
       "DENY = \"^Subject: say \"hi\" # now\"  \t\n",
       [](Settings& s) {
         EXPECT_EQ(s.denyRules().at(0).expression(), "^Subject: say \"hi\" # now");
       }},
      {"variables are kept as text", "DENY = \"^From: $HOME $ $_x\"\n",
       [](Settings& s) { EXPECT_EQ(s.denyRules().at(0).expression(), "^From: $HOME $ $_x"); }},
      {"underscores split words without losing anything", "ALLOW = \"a_b__c\"\n",
       [](Settings& s) { EXPECT_EQ(s.allowRules().at(0).expression(), "a_b__c"); }},
      {"'#' inside a value that ends in its closing quote", "DENY = \"a\" # b\" \r\n",
       [](Settings& s) { EXPECT_EQ(s.denyRules().at(0).expression(), "a\" # b"); }},
      {"backquote without apostrophe is text", "DENY = \"`abc\"\n",
       [](Settings& s) { EXPECT_EQ(s.denyRules().at(0).expression(), "`abc"); }},
      {"control characters and 8-bit bytes inside quotes", "DENY = \"a\x01\x7f\xe4\r\"x\"\n",
       [](Settings& s) { EXPECT_EQ(s.denyRules().at(0).expression(), "a\x01\x7f\xe4\r\"x"); }},
      {"command substitution",
       "PASS = \"<`echo sec ret'>\"\nSERVER = \"`printf 'a\\nb\\n''\"\n"
       "DENY=\"`printf '\\0x\\n''\"\nUSER = \"u\"\nPROTOCOL = \"pop3\"\nPORT = 110\n",
       [](Settings& s) {
         ASSERT_EQ(s.accounts().size(), 1u);
         EXPECT_EQ(s.accounts()[0].pass(), "<sec ret>");
         EXPECT_EQ(s.accounts()[0].server(), "a") << "only the first line counts";
         EXPECT_EQ(s.denyRules().at(0).expression(), "") << "output starting with NUL is empty";
       }},
      {"CR LF line ends",
       "# fine\r\nVERBOSE = 4\r\nSERVER = \"a\"\r\nUSER = \"u\" \r\n"
       "PASS = \"p\"\r\nPROTOCOL = \"POP3\"\r\nPORT = 1\r\nTEST = \"yes\"\r\nDENY = \"x\ry\"\n",
       [](Settings& s) {
         EXPECT_EQ(s.verbose(), 4);
         EXPECT_EQ(s.accounts().at(0).server(), "a");
         EXPECT_EQ(s.accounts().at(0).user(), "u");
         EXPECT_EQ(s.accounts().at(0).port(), 1);
         EXPECT_TRUE(s.test());
         EXPECT_EQ(s.denyRules().at(0).expression(), "x\ry") << "a lone CR is no line end";
       }},
      // An OAuth access token runs to thousands of characters.
      {"longest command line that fits",
       "PASS = \"`printf '%65535s\\n' x'\"\n"
       "SERVER = \"s\"\nUSER = \"u\"\nPROTOCOL = \"POP3\"\nPORT = 1\n",
       [](Settings& s) { EXPECT_EQ(s.accounts().at(0).pass(), std::string(65534, ' ') + "x"); }},
      {"account login and trust settings",
       "SERVER = \"s\"\nUSER = \"u\"\nPASS = \"token\"\n"
       "AUTH = \"xoauth2\"\nTLS_FINGERPRINT = \"AB:cd" +
           std::string(60, '0') +
           "\"\n"
           "TLS_CA_FILE = \"/etc/ca.pem\"\nPROTOCOL = \"pop3/stls\"\nPORT = 110\n"
           "AUTH = \"User\"\nPROTOCOL = \"apop/stls\"\nPORT = 995\n",
       [](Settings& s) {
         ASSERT_EQ(s.accounts().size(), 2u);
         const MailAccount& first = s.accounts()[0];
         EXPECT_EQ(first.auth(), "XOAUTH2");
         EXPECT_EQ(first.tlsFingerprint(), "abcd" + std::string(60, '0'));
         EXPECT_EQ(first.tlsCaFile(), "/etc/ca.pem");
         EXPECT_EQ(first.protocolCode(), 8194);
         // Like USER and PASS, the trust settings stay for later accounts; AUTH "USER" ends AUTH.
         EXPECT_EQ(s.accounts()[1].auth(), "");
         EXPECT_EQ(s.accounts()[1].tlsCaFile(), "/etc/ca.pem");
         EXPECT_EQ(s.accounts()[1].protocolCode(), 8196);
       }},
      {"REG_CASE between rules",
       "DENY = \"a\"\nSCORE 5 = \"b\"\nREG_CASE = \"yes\"\nDENY = \"c\"\nDENY_NOCASE = \"d\"\n"
       "SCORE -2 <> \"e\"\n",
       [](Settings& s) {
         EXPECT_EQ(s.denyRules().at(0).cflags(), REG_ICASE);
         EXPECT_EQ(s.scoreRules().at(0).cflags(), REG_ICASE);
         EXPECT_EQ(s.scoreRules().at(0).score(), 5);
         EXPECT_EQ(s.denyRules().at(1).cflags(), 0);
         EXPECT_EQ(s.denyRules().at(2).cflags(), REG_ICASE);
         EXPECT_EQ(s.scoreRules().at(1).cflags(), 0);
         EXPECT_EQ(s.scoreRules().at(1).score(), -2);
         EXPECT_TRUE(s.scoreRules().at(1).negated());
       }},
      {"first VERBOSE counts, last HIGHSCORE counts",
       "VERBOSE = 2\nVERBOSE = 6\nHIGHSCORE = 1\nHIGHSCORE = 2\n",
       [](Settings& s) {
         EXPECT_EQ(s.verbose(), 2);
         EXPECT_EQ(s.highscore(), 2);
       }},
      {"accounts in PORT order sharing protocol objects",
       "SERVER = \"pop.example.org\"\nUSER = \"ann\"\nPASS = \"pw\"\nPROTOCOL = \"apop/ssl\"\n"
       "PORT = 995\nUSER = \"bob\"\nPORT = 110\n",
       [](Settings& s) {
         ASSERT_EQ(s.accounts().size(), 2u);
         EXPECT_EQ(s.accounts()[1].server(), "pop.example.org");
         EXPECT_EQ(s.accounts()[1].user(), "bob");
         EXPECT_EQ(s.accounts()[0].port(), 995);
         EXPECT_EQ(fakeObjectsCode(s.accounts()[0]), 4100);
         EXPECT_EQ(s.accounts()[0].objects(), s.accounts()[1].objects());
       }},
  };
  for (const AcceptedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = parse(c.text);
    ASSERT_TRUE(outcome.accepted) << outcome.error;
    c.check(settings());
  }
}

// Rows that end the run, with the exact standard-error text and status.
struct RejectedCase {
  const char* name;
  std::string text;
  std::string error;
  int status = -1;
};

// The lexical error's two lines, then the line shown with a mark under column (from 0), then
// any hint lines.
std::string lexical(int line, const std::string& term, const std::string& text, size_t column,
                    const std::string& hint = "") {
  return "pollensift: Error: Lexicographical error in line " + std::to_string(line) +
         " of your main rcfile.\npollensift: The term '" + term +
         "' could not be interpreted.\npollensift:     " + text +
         "\npollensift:     " + std::string(column, ' ') + "^\n" + hint;
}

const std::string kCommentHint =
    "pollensift: A comment must stand on a line of its own, with '#' as its first character "
    "other than blanks.\n";

std::string grammar(const std::string& diagnostic, int line) {
  return "pollensift: Error: syntax error, " + diagnostic + " in main rcfile in line " +
         std::to_string(line) + ".\n";
}

TEST_F(RcFileTest, MalformedFilesEndWithTheirMessage) {
  const std::string main = "your main rcfile '" + (dir_ / "rc").string() + "'";
  const RejectedCase cases[] = {
      {"keyword followed by letters", "ALLOWED = \"x\"\n",
       lexical(1, "E", "ALLOWED = \"x\"", 5,
               "pollensift: 'ALLOWED' is not a keyword; did you mean ALLOW?\n")},
      {"misspelt keyword, indented by a tab", "\tSERVRE = \"x\"\n",
       "pollensift: Error: Lexicographical error in line 1 of your main rcfile.\n"
       "pollensift: The term 'S' could not be interpreted.\n"
       "pollensift:     \tSERVRE = \"x\"\npollensift:     \t^\n"
       "pollensift: 'SERVRE' is not a keyword; did you mean SERVER?\n"},
      {"word like no keyword", "FROBNICATE = 1\n",
       lexical(1, "F", "FROBNICATE = 1", 0, "pollensift: 'FROBNICATE' is not a keyword.\n")},
      {"keyword with a suffix after a blank line", "\nUSERNAME = \"x\"\r\n",
       lexical(2, "N", "USERNAME = \"x\"", 4,
               "pollensift: 'USERNAME' is not a keyword; did you mean USER?\n")},
      {"comment after a number", "VERBOSE = 4 # four\n",
       lexical(1, "#", "VERBOSE = 4 # four", 12, kCommentHint)},
      {"comment after a number that names a password", "VERBOSE = 4 # was pass 3\n",
       lexical(1, "#", "VERBOSE = 4 # was pass 3", 12, kCommentHint)},
      {"comment after a yes/no value", "TEST = \"yes\" # to start with\n",
       lexical(1, "#", "TEST = \"yes\" # to start with", 13, kCommentHint)},
      {"comment after a quoted value", "\nDENY = \"secret\"  # mine\nPORT = 1\n",
       "pollensift: Error: A comment follows the value in line 2 of your main rcfile.\n"
       "pollensift:     DENY = \"secret\"  # mine\npollensift:                      ^\n" +
           kCommentHint},
      {"comment after a quoted value, CR LF line end", "DENY = \"x\"#y\r\n",
       "pollensift: Error: A comment follows the value in line 1 of your main rcfile.\n"
       "pollensift:     DENY = \"x\"#y\npollensift:               ^\n" +
           kCommentHint},
      {"lone CR outside quotes", "VERBOSE = 4\r # x\n",
       lexical(1, "\\x0d", "VERBOSE = 4\\x0d # x", 11)},
      {"unquoted value", "SERVER = pop.example.org \n",
       lexical(1, "p", "SERVER = pop.example.org ", 9,
               "pollensift: A text value stands in double quotes: \"pop.example.org\".\n")},
      {"word where a number belongs: no hint about quotes", "VERBOSE = high\n",
       lexical(1, "h", "VERBOSE = high", 10)},
      {"unquoted value that starts like a keyword", "USER = PASSWORD\n",
       grammar("unexpected keyword PASS, expecting a value in double quotes", 1)},
      {"unquoted yes", "\nTEST = yes\n",
       grammar("unexpected yes or no without double quotes, expecting a value in double quotes",
               2)},
      {"quoted word other than yes or no", "NORMAL = \"maybe\"\n",
       lexical(1, "m", "NORMAL = \"maybe\"", 10)},
      {"quoted keyword after a yes/no keyword", "NORMAL = \"normal\"\n",
       grammar("unexpected keyword NORMAL, expecting yes or no", 1)},
      {"empty quotes", "SERVER = \"\"\n",
       grammar("unexpected closing double quote (a value may not be empty), expecting more of "
               "the quoted value",
               1)},
      {"two minus signs", "VERBOSE = --5\n",
       grammar("unexpected number, expecting end of file or a keyword", 1)},
      {"score number with two signs", "SCORE --5 = \"x\"\n",
       grammar("unexpected number, expecting '=' or '<>'", 1)},
      {"number on the line after VERBOSE =", "VERBOSE =\n5\n", lexical(2, "5", "5", 0)},
      {"quoted number", "MAXLENGTH = \"5\"\n",
       grammar("unexpected double quote, expecting a number", 1)},
      {"<> after a keyword that is no rule", "SERVER <> \"x\"\n",
       grammar("unexpected '<>', expecting '='", 1)},
      {"SCORE without its number", "SCORE = \"x\"\n",
       grammar("unexpected '=', expecting a number", 1)},
      {"missing closing quote, keyword on the next line", "SERVER = \"abc\nVERBOSE = 3\n",
       grammar("unexpected end of line, expecting the closing double quote or more of the "
               "quoted value",
               1)},
      {"missing closing quote at the end of the file", "# x\nSERVER = \"abc\"",
       grammar("unexpected end of file, expecting the closing double quote or more of the "
               "quoted value",
               2)},
      {"missing value at the end of the file", "VERBOSE =\n",
       grammar("unexpected end of line, expecting a number", 1)},
      {"missing value at the end of a file without a last line end", "VERBOSE =",
       grammar("unexpected end of file, expecting a number", 1)},
      {"closing quotes leave their line end to be counted",
       "SERVER = \"a\"\nTEST = \"yes\"  \nDENY = \"\"\"\n\n%\n", lexical(5, "%", "%", 0)},
      {"control character outside quotes", "\x1b[2J\n", lexical(1, "\\x1b", "\\x1b[2J", 0)},
      {"command without output", "PASS = \"`true'\"\n",
       "pollensift: Error: The command `true' printed nothing; a value in backquotes is the first "
       "line the command prints.\n"},
      {"command output without a line end", "PASS = \"`printf abc'\"\n",
       "pollensift: Error: popen failed.\n"
       "pollensift: Error: The command `printf abc' printed no line end.\n"},
      {"command line too long", "PASS = \"`printf '%65536s\\n' x'\"\n",
       "pollensift: Error: The command `printf '%65536s\\n' x' printed a line longer than 65535 "
       "characters.\n"},
      {"number beyond int", "\nPORT = 2147483648\n",
       "pollensift: Error: Number out of range in line 2 of your main rcfile.\n"},
      {"number below int", "TIMEOUT = -2147483649\n",
       "pollensift: Error: Number out of range in line 1 of your main rcfile.\n"},
      {"negative time-out", "VERBOSE = 3\nTIMEOUT = -7\nVERBOSE = 4\n",
       "pollensift: Error: TIMEOUT must be 0 or more seconds, not -7 in main rcfile in line 2.\n"},
      {"very long number", "TIMEOUT = " + std::string(400, '9') + "\n",
       "pollensift: Error: Number out of range in line 1 of your main rcfile.\n"},
      {"unknown AUTH mechanism; the value is not repeated", "AUTH = \"`echo s3cret'\"\n",
       "pollensift: Error: AUTH must be \"PLAIN\", \"XOAUTH2\" or \"OAUTHBEARER\" (or \"USER\" "
       "for USER and PASS).\n"},
      {"AUTH with APOP",
       "AUTH = \"PLAIN\"\nUSER = \"u\"\nSERVER = \"s\"\nPASS = \"p\"\n"
       "PROTOCOL = \"APOP/SSL\"\nPORT = 995\n",
       "pollensift: Error: The account u@s has AUTH = \"PLAIN\" and an APOP protocol, which is a "
       "login of its own; use \"POP3\", \"POP3/SSL\" or \"POP3/STLS\" with AUTH.\n"},
      {"fingerprint of the wrong length", "TLS_FINGERPRINT = \"ab:cd\"\n",
       "pollensift: Error: TLS_FINGERPRINT must be the SHA-256 fingerprint of the server "
       "certificate, 64 hexadecimal digits (colons allowed), not `ab:cd'.\n"},
      {"PORT before PROTOCOL", "SERVER = \"s\"\nUSER = \"u\"\nPASS = \"p\"\nPORT = 110\n",
       "pollensift: Error: The account u@s is completed by PORT before any PROTOCOL statement.\n"},
      {"account without SERVER", "USER = \"u\"\nPASS = \"p\"\nPROTOCOL = \"POP3\"\nPORT = 110\n",
       "pollensift: Error: The account 'u@' completed by PORT in line 4 of " + main +
           " has no SERVER.\n"},
      {"account statements after the last PORT",
       "SERVER = \"s\"\nUSER = \"u\"\nPASS = \"p\"\nPROTOCOL = \"POP3\"\nPORT = 110\n"
       "DENY = \"x\"\nUSER = \"v\"\nVERBOSE = 3\n",
       "pollensift: Error: The account 'v@s' is not completed: no PORT statement follows its "
       "statements from line 7 of " +
           main + ".\n"},
      {"TLS_FINGERPRINT after the last PORT",
       "SERVER = \"s\"\nUSER = \"u\"\nPASS = \"p\"\nPROTOCOL = \"POP3/SSL\"\nPORT = 995\n"
       "VERBOSE = 3\nTLS_FINGERPRINT = \"" +
           std::string(64, 'a') + "\"\nTLS_CA_FILE = \"/ca.pem\"\n",
       "pollensift: Error: The account 'u@s' is not completed: no PORT statement follows its "
       "statements from line 7 of " +
           main + ".\n"},
      {"no PORT at all", "SERVER = \"s\"\nUSER = \"u\"\n",
       "pollensift: Error: The account 'u@s' is not completed: no PORT statement follows its "
       "statements from line 1 of " +
           main + ".\n"},
      {"port out of range",
       "SERVER = \"s\"\nUSER = \"u\"\nPASS = \"p\"\nPROTOCOL = \"POP3\"\nPORT = 70000\n",
       "pollensift: Error: PORT 70000 in line 5 of " + main +
           " is out of range for the "
           "account 'u@s': a port is a number from 1 to 65535.\n"},
      {"the same mailbox twice",
       "SERVER = \"s\"\nUSER = \"u\"\nPASS = \"p\"\nPROTOCOL = \"POP3\"\nPORT = 110\n"
       "USER = \"v\"\nPORT = 110\nSERVER = \"S\"\nUSER = \"u\"\nPASS = \"other\"\nPORT = 110\n",
       "pollensift: Error: The mailbox 'u@S' on port 110 is listed twice in line 5 of " + main +
           " and line 11 of " + main + "; list each mailbox once.\n"},
      {"unknown protocol", "PROTOCOL = \"IMAP\"\n",
       "pollensift: Error: Only supported protocols are POP3 and APOP (SSL only if OpenSSL is "
       "available).\npollensift: PROTOCOL \"IMAP\" is none of the valid values: \"POP3\", "
       "\"APOP\", \"POP3/SSL\", \"APOP/SSL\", \"POP3/STLS\", \"APOP/STLS\".\n"
       "pollensift: PROTOCOL \"IMAP\" stands in line 1 of " + main + ".\n"},
      {"bad REG_TYPE", "\nREG_TYPE = \"perl\"\n",
       "pollensift: Error: Regular expressions must either be of type 'extended', or 'basic'.\n"
       "pollensift: REG_TYPE \"perl\" stands in line 2 of " + main + ".\n"},
      {"include name that expands to nothing", "INCLUDE = $POLLENSIFT_SURELY_UNSET\n",
       "pollensift: Error: Nested rcfile '$POLLENSIFT_SURELY_UNSET' could not be found.\n"},
      {"include name that cannot be expanded", "INCLUDE=a|b\n",
       "pollensift: Error: Nested rcfile 'a|b' could not be found.\n"},
      {"INCLUDE= with only blanks keeps the main line count", "\n\nINCLUDE=   \t\nVERBOSE = 3\n?\n",
       lexical(5, "?", "?", 0)},
  };
  for (const RejectedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = parse(c.text);
    EXPECT_FALSE(outcome.accepted);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.status, c.status);
  }
}

// A line shown under an error never shows a password: the value of PASS, or of a word that
// probably means PASS, is stars, and the mark stays on what it marked (or on the stars).
TEST_F(RcFileTest, PasswordsInShownLinesAreHidden) {
  const RejectedCase cases[] = {
      {"comment after the value", "\nPASS = \"secret\"  # mine\nPORT = 1\n",
       "pollensift: Error: A comment follows the value in line 2 of your main rcfile.\n"
       "pollensift:     PASS = \"*****\"  # mine\npollensift:                     ^\n" +
           kCommentHint},
      {"comment after the value, CR LF line end", "pass=\"x y\"#y\r\n",
       "pollensift: Error: A comment follows the value in line 1 of your main rcfile.\n"
       "pollensift:     pass=\"*****\"#y\npollensift:     " + std::string(12, ' ') + "^\n" +
           kCommentHint},
      {"unquoted password: not even its first character", "PASS = s3cret word\n",
       lexical(1, "*****", "PASS = *****", 7,
               "pollensift: A text value stands in double quotes: \"*****\".\n")},
      {"unquoted password that starts like a comment", "PASS = #s3cret\n",
       lexical(1, "*****", "PASS = *****", 7,
               "pollensift: A text value stands in double quotes: \"*****\".\n")},
      {"password without '='", "PASS s3cret\n", lexical(1, "*****", "PASS *****", 5)},
      {"misspelt PASS", "\tPASSWORD = \"s3cret\"\n",
       "pollensift: Error: Lexicographical error in line 1 of your main rcfile.\n"
       "pollensift: The term 'W' could not be interpreted.\n"
       "pollensift:     \tPASSWORD = \"*****\"\npollensift:     \t    ^\n"
       "pollensift: 'PASSWORD' is not a keyword; did you mean PASS?\n"},
      {"error before the password on its line", "VERBOSE = % PASS = \"s3cret\"\n",
       lexical(1, "%", "VERBOSE = % PASS = \"*****\"", 10)},
      {"password after a quoted yes", "TEST = \"yes\" PASS = \"s3cret\" # x\n",
       lexical(1, "*****", "TEST = \"yes\" PASS = \"*****\" # x", 21)},
      {"password from a command", "PASS = \"`echo tok' s3cret\" #\n",
       "pollensift: Error: A comment follows the value in line 1 of your main rcfile.\n"
       "pollensift:     PASS = \"*****\" #\npollensift:                    ^\n" +
           kCommentHint},
  };
  for (const RejectedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = parse(c.text);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.status, -1);
  }
  // Words in another statement's value are no keywords: a rule about passwords is shown whole.
  EXPECT_EQ(parse("DENY = \"^Subject: pass = x\" # y\n").error,
            "pollensift: Error: A comment follows the value in line 1 of your main rcfile.\n"
            "pollensift:     DENY = \"^Subject: pass = x\" # y\npollensift:     " +
                std::string(28, ' ') + "^\n" + kCommentHint);
}

TEST_F(RcFileTest, IncludedFileIsReadInPlace) {
  write("accounts.rc", "# accounts\nSERVER = \"inc.example.org\"\nREG_CASE = \"yes\"\n");
  const Outcome outcome =
      parse("DENY = \"before\"\nINCLUDE=" + (dir_ / "accounts.rc").string() +
            "\nDENY = \"after\"\nUSER = \"u\"\nPASS = \"p\"\nPROTOCOL = \"POP3\"\n"
            "PORT = 110\n");
  ASSERT_TRUE(outcome.accepted) << outcome.error;
  EXPECT_EQ(settings().accounts().at(0).server(), "inc.example.org");
  EXPECT_EQ(settings().denyRules().at(0).cflags(), REG_ICASE);
  EXPECT_EQ(settings().denyRules().at(1).cflags(), 0) << "the included REG_CASE is in force";
}

TEST_F(RcFileTest, IncludeErrorsAndLineNumbers) {
  const std::string inc = (dir_ / "inc.rc").string();
  setenv("POLLENSIFT_RC_TEST_DIR", dir_.c_str(), 1);
  struct Case {
    const char* name;
    std::string included;  // written to inc.rc
    std::string main;
    std::string error;
  };
  const Case cases[] = {
      {"lexical error in the included file", "\nVERBOSE = 3\n  %\n", "INCLUDE=" + inc + "\n",
       "pollensift: Error: Lexicographical error in line 3 of your rcfile '" + inc +
           "'.\npollensift: The term '%' could not be interpreted.\npollensift:       %\n"
           "pollensift:       ^\n"},
      {"grammar error in the included file", "VERBOSE = 3\nSERVER = \"x\nPORT = 1\n",
       "\nInclude\t=\t" + inc + "\n",
       "pollensift: Error: syntax error, unexpected end of line, expecting the closing double "
       "quote or more of the quoted value in file " +
           inc + " in line 2.\n"},
      {"grammar error noticed after the included file ended", "SERVER = \"x\n",
       "\nINCLUDE=" + inc + "\n",
       "pollensift: Error: syntax error, unexpected end of line, expecting the closing double "
       "quote or more of the quoted value in file " +
           inc + " in line 1.\n"},
      {"include that is a FIFO", "", "INCLUDE=" + (dir_ / "fifo").string() + "\n",
       "pollensift: Error: Nested rcfile '" + (dir_ / "fifo").string() +
           "' could not be opened.\npollensift: '" + (dir_ / "fifo").string() +
           "' is a FIFO, not a regular file.\n"},
      {"main file line numbers return after the include", "# one\n# two\n# three\n# four\n",
       "\nINCLUDE=$POLLENSIFT_RC_TEST_DIR/inc.rc\nVERBOSE = 3\n!\n", lexical(4, "!", "!", 0)},
      {"nested include", "INCLUDE=" + inc + "\n", "INCLUDE=" + inc + "\n",
       "pollensift: Error: Files nested too deep.\n"},
      {"include that cannot be opened", "",
       "INCLUDE=$POLLENSIFT_RC_TEST_DIR/missing.rc more words\n",
       "pollensift: Error: Nested rcfile '" + (dir_ / "missing.rc").string() +
           "' could not be opened.\n"},
  };
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write("inc.rc", c.included);
    const Outcome outcome = parse(c.main);
    EXPECT_FALSE(outcome.accepted);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.status, -1);
  }
  unsetenv("POLLENSIFT_RC_TEST_DIR");
}

// "Did you mean" draws on the grammar's tokens: each must be a keyword the scanner knows, so a
// keyword added to the grammar shows up there by itself.
TEST_F(RcFileTest, SuggestedKeywordsAreTheScannersOwn) {
  const std::vector<std::string>& keywords = rcKeywords();
  ASSERT_GE(keywords.size(), 28u);
  for (const std::string& keyword : keywords) {
    std::istringstream input(keyword + "\n");
    RcScan scan(input);
    EXPECT_NE(scan.scanner().yylex(), 0) << keyword;
    EXPECT_EQ(token_value.text, keyword) << "scanned whole";
    EXPECT_EQ(scan.scanner().yylex(), 0) << keyword << ": nothing left after it";
  }
  struct Case {
    const char* word;
    const char* suggestion;
  };
  for (const Case& c :
       {Case{"PASSWORD", "PASS"}, Case{"username", "USER"}, Case{"SERVRE", "SERVER"},
        Case{"Protocoll", "PROTOCOL"}, Case{"VERBOSITY", "VERBOSE"},
        Case{"MAXSIZE", "MAXSIZE_DENY"}, Case{"FROBNICATE", ""}, Case{"X", ""}}) {
    EXPECT_EQ(nearestKeyword(c.word, keywords), c.suggestion) << c.word;
  }
}

struct ProcessStatus {
  char state = 0;
  pid_t parent = 0;
};

// From /proc/PID/stat, "pid (name) state ppid ...", where the name may hold blanks and ')'.
ProcessStatus statusOf(const fs::path& process) {
  std::ifstream stat(process / "stat");
  std::string text;
  ProcessStatus status;
  if (!std::getline(stat, text)) return status;
  std::istringstream(text.substr(text.rfind(')') + 1)) >> status.state >> status.parent;
  return status;
}

// Processes whose parent is this one and that have ended without being waited for.
int zombieChildren() {
  int zombies = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const ProcessStatus status = statusOf(entry.path());
    if (status.parent == getpid() && status.state == 'Z') ++zombies;
  }
  return zombies;
}

// A token helper that prints its token with a CR LF line end and then goes on running: the value
// is the token alone, the read ends at the line end, and the helper runs on, no child of ours.
TEST_F(RcFileTest, TokenCommandIsReadToItsFirstLineEndOnly) {
  const std::string pid_file = (dir_ / "helper.pid").string();
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome =
      parse("SERVER = \"s\"\nUSER = \"u\"\nPASS = \"`echo $$ >" + pid_file +
            "; printf 'tok\\r\\nmore\\n'; exec sleep 60 2>/dev/null'\"\nPROTOCOL = \"POP3\"\n"
            "PORT = 110\n");
  const auto waited = std::chrono::steady_clock::now() - start;
  pid_t helper = 0;
  std::ifstream(pid_file) >> helper;
  ASSERT_GT(helper, 0);
  struct Reaper {
    pid_t pid;
    ~Reaper() { kill(pid, SIGKILL); }
  } reaper{helper};
  ASSERT_TRUE(outcome.accepted) << outcome.error;
  EXPECT_EQ(settings().accounts().at(0).pass(), "tok");
  EXPECT_LT(waited, std::chrono::seconds(20)) << "the helper's sleep was waited for";
  EXPECT_EQ(kill(helper, 0), 0) << "the helper was stopped";
  EXPECT_EQ(zombieChildren(), 0);
  const ProcessStatus status = statusOf("/proc/" + std::to_string(helper));
  EXPECT_NE(status.state, 0);
  EXPECT_NE(status.parent, getpid()) << "the helper is a child of ours, to be waited for";
}

TEST_F(RcFileTest, NoRuleIsHalfAdded) {
  const Outcome outcome = parse("DENY = \"one\"\nALLOW = \"two\nSCORE 3 = \"three\"\n");
  EXPECT_EQ(outcome.status, -1);
  EXPECT_EQ(settings().denyRules().size(), 1u);
  EXPECT_TRUE(settings().allowRules().empty());
  EXPECT_TRUE(settings().scoreRules().empty());
}

TEST_F(RcFileTest, RegTypeLastInTheFileAppliesToEveryRule) {
  ASSERT_TRUE(parse("DENY = \"^Subject: (a|b)+$\"\nREG_TYPE = \"Extended\"\n").accepted);
  ASSERT_EQ(compileRules(), 0);
  EXPECT_TRUE(settings().denyRules()[0].matches("Subject: abba"));
}

TEST_F(RcFileTest, BadRulesUnderExtendedSyntaxReportOnlyTheFirstList) {
  ASSERT_TRUE(parse("DENY = \"(deny\"\nALLOW = \"(allow\"\n").accepted);
  EXPECT_EQ(compileRules(), 0) << "basic syntax takes ( literally";
  ASSERT_TRUE(parse("DENY = \"(deny\"\nALLOW = \"(allow\"\nREG_TYPE = \"EXTENDED\"\n").accepted);
  testing::internal::CaptureStderr();
  EXPECT_NE(compileRules(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "pollensift: Error: Unmatched ( or \\(\n"
            "pollensift: Error: Could not compile regular expression (allow).\n"
            "pollensift: The allow rule \"(allow\" in line 2 of your main rcfile '" +
                (dir_ / "rc").string() +
                "' is not a valid regular expression: Unmatched ( or \\(.\n");
}

TEST_F(RcFileTest, ScannerFailureEndsWithStatusTwo) {
  // A file that opens as a stream but cannot be read (EIO at offset 0).
  const Outcome outcome = parseFile("/proc/self/mem");
  EXPECT_EQ(outcome.error, "pollensift: Error: input in flex scanner failed\n");
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(parseFile(dir_.string()).error, "(rc file not opened)") << "a directory is refused";
}

TEST_F(RcFileTest, PcloseFailureIsFatal) {
  // With SIGCHLD ignored the command is reaped by the system and pclose cannot wait for it.
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved);
  const Outcome outcome = parse("PASS = \"`echo x'\"\n");
  sigaction(SIGCHLD, &saved, nullptr);
  EXPECT_EQ(outcome.error, "pollensift: Error: pclose failed.\n");
  EXPECT_EQ(outcome.status, -1);
}

TEST_F(RcFileTest, NoRcFileOpenIsNoParse) {
  settings().resetForTesting();
  EXPECT_FALSE(parseRcFile(settings()));
}

TEST_F(RcFileTest, TextFromMemory) {
  settings().resetForTesting();
  std::istringstream first("VERBOSE = 2\nDENY = \"a\"\n");
  parseRcStream(first, settings());
  EXPECT_EQ(settings().verbose(), 2);
  std::istringstream second("\n\nDENY = a\n");
  try {
    parseRcStream(second, settings());
    ADD_FAILURE() << "no fatal error";
  } catch (const FatalExit& e) {
    EXPECT_STREQ(e.what(),
                 "pollensift: Error: Lexicographical error in line 3 of your main rcfile.\n"
                 "pollensift: The term 'a' could not be interpreted.\n"
                 "pollensift:     DENY = a\npollensift:            ^\n"
                 "pollensift: A text value stands in double quotes: \"a\".\n")
        << "each parse counts lines from the start";
  }
  EXPECT_EQ(settings().denyRules().size(), 1u);
}

TEST_F(RcFileTest, ExampleFileSetsEverySetting) {
  const char* home = getenv("HOME");
  ASSERT_NE(home, nullptr);
  const Outcome outcome = parseFile(POLLENSIFT_SOURCE_DIR "/doc/pollensiftrc.example");
  ASSERT_TRUE(outcome.accepted) << outcome.error;
  Settings& s = settings();
  EXPECT_EQ(s.logfile(), std::string(home) + "/.pollensift.log");
  EXPECT_EQ(s.showHeaders(), std::string(home) + "/.pollensift.headers");
  EXPECT_EQ(s.statefile(), std::string(home) + "/.pollensift.state");
  EXPECT_EQ(s.verbose(), 4);
  EXPECT_TRUE(s.test()) << "whoever copies the example starts in test mode";
  EXPECT_EQ(s.timeout(), 20);
  EXPECT_TRUE(s.delDuplicates());
  EXPECT_TRUE(s.normal());
  EXPECT_EQ(s.regType(), REG_EXTENDED);
  EXPECT_EQ(s.regCase(), 0);
  EXPECT_EQ(s.highscore(), 50);
  EXPECT_EQ(s.maxlength(), 10000);
  EXPECT_EQ(s.maxsizeAllow(), 20000000);
  EXPECT_EQ(s.maxsizeDeny(), 5000000);
  EXPECT_EQ(s.maxsizeScore(), std::make_pair(30, 1000000));

  ASSERT_EQ(s.accounts().size(), 5u);
  const MailAccount& home_box = s.accounts()[0];
  EXPECT_EQ(home_box.server(), "pop.example.org");
  EXPECT_EQ(home_box.user(), "ann");
  EXPECT_EQ(home_box.pass(), "s3cret word");
  EXPECT_EQ(home_box.port(), 995);
  EXPECT_EQ(fakeObjectsCode(home_box), 4098);
  const MailAccount& work = s.accounts()[1];
  EXPECT_EQ(work.server(), "mail.example.com");
  EXPECT_EQ(fakeObjectsCode(work), 4);
  EXPECT_EQ(work.port(), 110);
  const MailAccount& second = s.accounts()[2];
  EXPECT_EQ(second.server(), "mail.example.com");
  EXPECT_EQ(second.user(), "ann.archive");
  EXPECT_EQ(second.objects(), work.objects());
  const MailAccount& stls = s.accounts()[3];
  EXPECT_EQ(stls.protocolCode(), 8194);
  EXPECT_EQ(stls.port(), 110);
  EXPECT_EQ(s.accounts()[4].auth(), "PLAIN");

  struct Rule {
    std::string expression;
    int cflags;
    bool negated;
  };
  auto expectRules = [](const auto& rules, const std::vector<Rule>& expected) {
    ASSERT_EQ(rules.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(rules[i].expression(), expected[i].expression) << i;
      EXPECT_EQ(rules[i].cflags(), expected[i].cflags) << i;
      EXPECT_EQ(rules[i].negated(), expected[i].negated) << i;
    }
  };
  expectRules(s.allowRules(), {{"^From:.*@example\\.org", REG_ICASE, false},
                               {"^Received:", REG_ICASE, true},
                               {"^List-Id: .*pollensift", 0, false},
                               {"^From:.*@(bank|school)\\.example\\.net", REG_ICASE, false}});
  expectRules(s.denyRules(),
              {{"^Subject:.*(viagra|casino)", REG_ICASE, false},
               {"^Subject: ADV:", 0, false},
               {"^X-Mailer: BulkMailer", 0, false},
               {"^Subject:.*=\\?(gb2312|big5|ks_c_5601-1987|euc-kr)\\?", REG_ICASE, false}});
  expectRules(s.scoreRules(), {{"^Subject:.*\\$\\$\\$", REG_ICASE, false},
                               {"^From:", 0, true},
                               {"^Subject:.* {10,}", 0, false},
                               {"^Subject: FREE", 0, false},
                               {"^X-Spam-Level: \\*{5}", REG_ICASE, false},
                               {"^Precedence: bulk", 0, true}});
  const int points[] = {40, 30, 30, 25, 60, -10};
  for (size_t i = 0; i < std::size(points); ++i) EXPECT_EQ(s.scoreRules()[i].score(), points[i]);
  EXPECT_EQ(s.negativeAllowCount(), 1);
  EXPECT_EQ(s.negativeDenyCount(), 0);
  EXPECT_EQ(compileRules(), 0);
}

// Parses with standard error captured; what it printed.
std::string stderrOfParse(const std::string& path, Outcome& outcome) {
  testing::internal::CaptureStderr();
  Settings& s = settings();
  s.resetForTesting();
  installFakeAccountObjects(s);
  if (s.openRcFile(path)) {
    try {
      outcome.accepted = parseRcFile(s);
    } catch (const FatalExit& e) {
      outcome.error = e.what();
    }
  }
  return testing::internal::GetCapturedStderr();
}

std::string openFileWarning(const std::string& path, const char* mode) {
  return "pollensift: Warning: The rcfile '" + path +
         "' holds a password but other users can read or change it (mode " + mode +
         "); protect it with: chmod 600 '" + path + "'\n";
}

TEST_F(RcFileTest, PasswordInAFileOthersCanReachDrawsAWarning) {
  struct Case {
    fs::perms mode;
    const char* shown;  // nullptr: no warning
  };
  using P = fs::perms;
  const Case cases[] = {
      {P::owner_read | P::owner_write, nullptr},
      {P::owner_all, nullptr},
      {P::owner_read | P::owner_write | P::group_exec | P::others_exec, nullptr},
      {P::owner_read | P::owner_write | P::group_read, "0640"},
      {P::owner_read | P::owner_write | P::group_write, "0620"},
      {P::owner_read | P::owner_write | P::others_read, "0604"},
      {P::owner_read | P::owner_write | P::others_write, "0602"},
      {P::owner_read | P::owner_write | P::group_read | P::others_read, "0644"},
  };
  // Two PASS statements, one warning: it is about the file.
  const std::string rc = write("rc",
                               "SERVER = \"s\"\nUSER = \"ann\"\nPASS = \"one\"\nPASS = \"two\"\n"
                               "PROTOCOL = \"POP3\"\nPORT = 110\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown ? c.shown : "private");
    fs::permissions(rc, c.mode);
    Outcome outcome;
    const std::string err = stderrOfParse(rc, outcome);
    EXPECT_TRUE(outcome.accepted) << "a warning, not a refusal";
    EXPECT_EQ(err, c.shown ? openFileWarning(rc, c.shown) : "");
  }
}

TEST_F(RcFileTest, WarningNamesTheFileThatHoldsThePassword) {
  const std::string inc = write("inc.rc", "PASS = \"secret\"\n");
  const std::string rc =
      write("rc", "SERVER = \"s\"\nUSER = \"ann\"\nPROTOCOL = \"POP3\"\nINCLUDE=" + inc +
                      "\nPORT = 110\n");
  const std::string no_password = write("plain.rc", "VERBOSE = 3\n");
  fs::permissions(no_password, fs::perms::owner_read | fs::perms::others_read);
  Outcome outcome;
  EXPECT_EQ(stderrOfParse(no_password, outcome), "") << "no password, nothing to protect";

  fs::permissions(rc, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  fs::permissions(inc, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(stderrOfParse(rc, outcome), "") << "the open main file holds no password";

  fs::permissions(inc, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(stderrOfParse(rc, outcome), openFileWarning(inc, "0640"));
  EXPECT_EQ(settings().accounts().size(), 1u);
  EXPECT_TRUE(outcome.accepted);
}

TEST_F(RcFileTest, WithTheShellTurnedOffNothingIsRun) {
  const fs::path marker = dir_ / "ran";
  struct ShellOff {
    ShellOff() { setShellDisabledForTesting(true); }
    ~ShellOff() { setShellDisabledForTesting(false); }
  } shell_off;
  const Outcome accepted =
      parse("LOGFILE = \"$(touch " + marker.string() + ") second\"\nPASS = \"`touch " +
            marker.string() + "'\"\nSERVER = \"s\"\nUSER = \"u\"\nPROTOCOL = \"POP3\"\nPORT = 1\n");
  ASSERT_TRUE(accepted.accepted) << accepted.error;
  EXPECT_EQ(settings().logfile(), "$(touch") << "the text as it stands, first word";
  EXPECT_EQ(settings().accounts().at(0).pass(), "touch " + marker.string());
  const Outcome include = parse("INCLUDE=" + write("inc.rc", "VERBOSE = 1\n") + "\n");
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(include.error, "pollensift: Error: Nested rcfiles are turned off.\n");
}

}  // namespace
