#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "net/socket.h"
#include "net/test_support.h"
#include "protocol/pop3.h"
#include "protocol/replies.h"
#include "rules/rules.h"

namespace {

using Lines = std::vector<std::string>;

std::string top(const std::string& header) { return "+OK\r\n" + header + "\r\n.\r\n"; }

const std::string kWanted = "From: ann@example.org\r\nSubject: minutes\r\n";
const std::string kSpam = "From: x@spam.example\r\nSubject: cheap pills\r\n";

// A server that lists nothing in CAPA and refuses the listing of every size, so that a scan
// one command at a time asks LIST n for each message.
void withoutCapaOrListing(FakeServer& server) {
  server.answerWith([](const std::string& text) -> std::vector<std::string> {
    if (text == "CAPA\r\n" || text == "LIST\r\n") return {"-ERR unknown command\r\n"};
    return {};
  });
}

// A POP3 object talking to a scripted server through a real Socket, for the cases of a table.
struct Session {
  Session() {
    pop3.setConnection(&socket);
    withoutCapaOrListing(*server);
  }
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
  Socket socket{std::make_unique<FakeTransport>(server), 5};
  POP3 pop3;
};

// The same as a fixture, with the deny rule "^Subject: cheap" and PIPELINING = "no": the
// dialogue of one command at a time, CAPA after the login, and LIST n per message where the
// listing of every size is refused.
class Pop3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    FilterEngine::instance().resetForTesting();
    Settings::instance().setPipelining("no");
    Settings::instance().addDeny("DENY", "=", "^Subject: cheap");
    ASSERT_EQ(compileRules(), 0);
    pop3_.setConnection(&socket_);
    withoutCapaOrListing(*server_);
  }

  // The exchanges of one message: LIST with its size, TOP with its header.
  void message(int n, int size, const std::string& header) {
    const std::string number = std::to_string(n);
    server_->expect("LIST " + number + "\r\n", {"+OK " + number + " " + std::to_string(size) + "\r\n"});
    server_->expect("TOP " + number + " 0\r\n", {top(header)});
  }
  std::vector<std::string> errors() const { return log_.linesStartingWith("Error: "); }

  LogCapture log_;
  std::shared_ptr<FakeServer> server_ = std::make_shared<FakeServer>();
  Socket socket_{std::make_unique<FakeTransport>(server_), 5};
  POP3 pop3_;
};

TEST_F(Pop3Test, Login) {
  struct Case {
    const char* name;
    std::vector<std::string> greeting;
    const char* user_reply;
    const char* pass_reply;
    bool result;
    Lines written;
    Lines errors;
  };
  const Case cases[] = {
      {"accepted", {"+OK ready\r\n"}, "+OK\r\n", "+OK logged in\r\n", true,
       {"CAPA\r\n", "USER jo\r\n", "PASS s3cret\r\n"}, {}},
      {"negative greeting does not stop it", {"-ERR busy\r\n"}, "+OK\r\n", "+OK\r\n", true,
       {"CAPA\r\n", "USER jo\r\n", "PASS s3cret\r\n"}, {}},
      {"user refused", {"+OK\r\n"}, "-ERR who?\r\n", "+OK\r\n", false, {"CAPA\r\n", "USER jo\r\n"},
       {"pollensift: Error: Error occurred while sending username to server.",
        "pollensift: Error: The server replied: -ERR who?"}},
      {"password refused", {"+OK\r\n"}, "+OK\r\n", "-ERR [AUTH] nope\r\n", false,
       {"CAPA\r\n", "USER jo\r\n", "PASS s3cret\r\n"},
       {"pollensift: Error: Error occurred while sending password to server.",
        "pollensift: Error: The server replied: -ERR [AUTH] nope (the user name, password or "
        "token was not accepted)"}},
      {"refused after a negative greeting", {"-ERR [SYS/TEMP] overloaded\r\n"}, "+OK\r\n",
       "-ERR [IN-USE] locked\x1b[2J\r\n", false, {"CAPA\r\n", "USER jo\r\n", "PASS s3cret\r\n"},
       {"pollensift: Error: Error occurred while sending password to server.",
        "pollensift: Error: The server replied: -ERR [IN-USE] locked\\x1b[2J (another client has "
        "the mailbox open; try again later)",
        "pollensift: Error: The server's greeting was: -ERR [SYS/TEMP] overloaded (a temporary "
        "fault on the server; try again later)"}},
      // A bare "-ERR" says nothing worth a line of its own.
      {"refused after a bare negative greeting", {"-ERR\r\n"}, "-ERR no\r\n", "+OK\r\n", false,
       {"CAPA\r\n", "USER jo\r\n"},
       {"pollensift: Error: Error occurred while sending username to server.",
        "pollensift: Error: The server replied: -ERR no"}},
      {"no greeting", {}, "+OK\r\n", "+OK\r\n", false, {},
       {"pollensift: Error: Connection has timed out.",
        "pollensift: Error: No greeting came from the server. If this port expects TLS from the "
        "start (usually 995), use PROTOCOL = \"POP3/SSL\"."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    auto server = std::make_shared<FakeServer>();
    server->send(c.greeting);
    server->expect("CAPA\r\n", {"-ERR unknown command\r\n"});
    server->expect("USER jo\r\n", {c.user_reply});
    server->expect("PASS s3cret\r\n", {c.pass_reply});
    Socket socket(std::make_unique<FakeTransport>(server), 5);
    POP3 pop3;
    pop3.setConnection(&socket);
    EXPECT_EQ(pop3.login("jo", "s3cret"), c.result);
    EXPECT_EQ(server->written(), c.written);
    EXPECT_EQ(log.linesStartingWith("Error: "), c.errors);
  }
}

TEST_F(Pop3Test, StatusReadsTheCount) {
  const std::pair<const char*, int> cases[] = {
      {"+OK 2 320\r\n", 2},    {"+OK\r\n", 0},         {"+OK \t 7\r\n", 7},
      {"+OK 12abc 3\r\n", 12}, {"+OK many\r\n", 0},    {"+OK 99999999999999999999 1\r\n", 2147483647},
      {"-ERR 2 320\r\n", -1},  {"OK 2 320\r\n", -1},
  };
  for (const auto& [reply, count] : cases) {
    SCOPED_TRACE(reply);
    server_->expect("STAT\r\n", {reply});
    EXPECT_EQ(pop3_.status(), count);
  }
  server_->failWrites();
  EXPECT_EQ(pop3_.status(), -1);
  // The server's words for each refusal, nothing stale when nothing was read.
  EXPECT_EQ(log_.linesStartingWith("Error: "),
            (Lines{"pollensift: Error: The server replied: -ERR 2 320",
                   "pollensift: Error: The server replied: OK 2 320",
                   "pollensift: Error: Broken pipe"}));
}

TEST_F(Pop3Test, ScanJudgesEveryMessageAndDeletesTheCondemned) {
  server_->expect("STAT\r\n", {"+OK 3 900\r\n"});
  message(1, 300, kWanted);
  message(2, 300, kSpam);
  server_->expect("DELE 2\r\n", {"+OK marked\r\n"});
  // Cut where a reader that stops at "a line ending in '.'" would judge half the header.
  const std::string third = top("Subject: fine.\r\nX-Note: cheap pills inside\r\nSubject: cheap\r\n");
  server_->expect("LIST 3\r\n", {"+OK 3 300\r\n"});
  server_->expect("TOP 3 0\r\n", splitAt(third, {third.find(".\r\n") + 3}));
  server_->expect("DELE 3\r\n", {"+OK marked\r\n"});
  EXPECT_EQ(pop3_.scan(), 0);
  EXPECT_EQ(server_->written(), (Lines{"STAT\r\n", "CAPA\r\n", "LIST\r\n", "LIST 1\r\n", "TOP 1 0\r\n", "LIST 2\r\n",
                                       "TOP 2 0\r\n", "DELE 2\r\n", "LIST 3\r\n", "TOP 3 0\r\n",
                                       "DELE 3\r\n"}));
  EXPECT_EQ(errors(), Lines{});
}

TEST_F(Pop3Test, TheListedSizeReachesTheFilter) {
  // MAXSIZE_DENY 1000: a message is deleted exactly when the size read is above 1000.
  const std::pair<const char*, bool> cases[] = {
      {"+OK 1 1000\r\n", false},
      {"+OK 1 1532\r\n", true},
      {"+OK 1 120 octets 5000000\r\n", false},  // text may follow the size
      {"+OK \t1  1001 \r\n", true},
      {"+OK 01 99999999999999999999\r\n", true},
  };
  for (const auto& [reply, deleted] : cases) {
    SCOPED_TRACE(reply);
    LogCapture log;
    Settings::instance().setPipelining("no");
    Settings::instance().setMaxsizeDeny(1000);
    Session s;
    s.server->expect("STAT\r\n", {"+OK 1 900\r\n"});
    s.server->expect("LIST 1\r\n", {reply});
    s.server->expect("TOP 1 0\r\n", {top(kWanted)});
    s.server->expect("DELE 1\r\n", {"+OK\r\n"});
    EXPECT_EQ(s.pop3.scan(), 0);
    EXPECT_EQ(s.server->written().back() == "DELE 1\r\n", deleted);
    EXPECT_EQ(log.linesStartingWith("Error: "), Lines{});
  }
}

TEST_F(Pop3Test, AListReplyThatCannotBeBelievedFailsTheScan) {
  const char* const replies[] = {
      "+OK 2 99999999\r\n", "+OK 1 abc\r\n", "+OK 1 12x\r\n", "+OK 1\r\n", "+OK\r\n",
      "+OK1 5\r\n",         "+OK -1 5\r\n",  "+OK 1 -5\r\n",
  };
  for (const char* reply : replies) {
    SCOPED_TRACE(reply);
    LogCapture log;
    Settings::instance().setPipelining("no");
    Session s;
    s.server->expect("STAT\r\n", {"+OK 1 900\r\n"});
    s.server->expect("LIST 1\r\n", {reply});
    EXPECT_EQ(s.pop3.scan(), -1);
    EXPECT_EQ(s.server->written(), (Lines{"STAT\r\n", "CAPA\r\n", "LIST 1\r\n"}));
    const std::string words(reply, std::strlen(reply) - 2);
    EXPECT_EQ(log.linesStartingWith("Error: "),
              (Lines{"pollensift: Error: The server's reply to LIST 1 cannot be read: \"" + words +
                         "\".",
                     "pollensift: Error: Error occurred while sending LIST to server."}));
  }
}

TEST_F(Pop3Test, TestModeOnlyReportsTheDeletion) {
  Settings::instance().setTest("yes");
  server_->expect("STAT\r\n", {"+OK 2\r\n"});
  message(1, 10, kSpam);
  message(2, 10, kWanted);
  EXPECT_EQ(pop3_.scan(), 0);
  EXPECT_EQ(server_->written(),
            (Lines{"STAT\r\n", "CAPA\r\n", "LIST\r\n", "LIST 1\r\n", "TOP 1 0\r\n", "LIST 2\r\n", "TOP 2 0\r\n"}));
  EXPECT_EQ(log_.linesStartingWith("Debugging: Simulating"),
            Lines{"pollensift: Debugging: Simulating DELE command."});
}

TEST_F(Pop3Test, AnEmptyMailboxAsksForNothing) {
  server_->expect("STAT\r\n", {"+OK 0 0\r\n"});
  EXPECT_EQ(pop3_.scan(), 0);
  EXPECT_EQ(server_->written(), Lines{"STAT\r\n"});
}

TEST_F(Pop3Test, TheFirstFailureStopsTheScan) {
  struct Case {
    const char* name;
    std::vector<std::string> list_reply;
    std::vector<std::string> top_reply;
    const char* error;
    const char* server_words = nullptr;
  };
  const Case cases[] = {
      {"LIST refused", {"-ERR no such message\r\n"}, {}, "Error occurred while sending LIST to server.",
       "The server replied: -ERR no such message"},
      {"TOP refused", {"+OK 2 10\r\n"}, {"-ERR no\r\n"}, "Error occurred while sending TOP to server.",
       "The server replied: -ERR no"},
      // A condemned header that never reaches its "." line is not judged, let alone deleted.
      {"TOP cut off", {"+OK 2 10\r\n"}, {"+OK\r\n" + kSpam}, "Error occurred while sending TOP to server."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Settings::instance().setPipelining("no");
    Settings::instance().addDeny("DENY", "=", "^Subject: cheap");
    ASSERT_EQ(compileRules(), 0);
    auto server = std::make_shared<FakeServer>();
    Socket socket(std::make_unique<FakeTransport>(server), 1);
    POP3 pop3;
    pop3.setConnection(&socket);
    withoutCapaOrListing(*server);
    server->expect("STAT\r\n", {"+OK 3\r\n"});
    server->expect("LIST 1\r\n", {"+OK 1 10\r\n"});
    server->expect("TOP 1 0\r\n", {top(kWanted)});
    server->expect("LIST 2\r\n", c.list_reply);
    server->expect("TOP 2 0\r\n", c.top_reply);
    server->expect("LIST 3\r\n", {"+OK 3 10\r\n"});
    server->endStream();
    EXPECT_EQ(pop3.scan(), -1);
    const Lines& written = server->written();
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back().substr(0, 6), c.top_reply.empty() ? "LIST 2" : "TOP 2 ");
    Lines errors = log.linesStartingWith("Error: ");
    if (c.server_words != nullptr) {
      ASSERT_FALSE(errors.empty());
      EXPECT_EQ(errors.back(), std::string("pollensift: Error: ") + c.server_words);
      errors.pop_back();
    }
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), std::string("pollensift: Error: ") + c.error);
    EXPECT_EQ(pop3.tally().examined, 1);
    EXPECT_EQ(pop3.tally().deleted, 0);
  }
}

// One hostile header must not stop the filtering of its mailbox: the message is judged on all its
// fields (those after the Message-ID too), only its Message-ID takes no part in the duplicate
// check, and the scan goes on.
TEST_F(Pop3Test, AMalformedMessageIdIsReportedAndTheMessageJudgedWithoutIt) {
  Settings::instance().setDelDuplicates("yes");
  const std::string bad_spam = "Message-ID: a1@b2\r\n" + kSpam;
  const std::string bad_wanted = "Message-ID: a1@b2\r\n" + kWanted;
  server_->expect("STAT\r\n", {"+OK 3\r\n"});
  message(1, 10, bad_spam);
  server_->expect("DELE 1\r\n", {"+OK\r\n"});
  message(2, 10, bad_wanted);
  message(3, 10, bad_wanted);
  server_->endStream();
  EXPECT_EQ(pop3_.scan(), 0);
  EXPECT_EQ(server_->written(),
            (Lines{"STAT\r\n", "CAPA\r\n", "LIST\r\n", "LIST 1\r\n", "TOP 1 0\r\n", "DELE 1\r\n", "LIST 2\r\n",
                   "TOP 2 0\r\n", "LIST 3\r\n", "TOP 3 0\r\n"}));
  const auto notice = [](const char* number, const std::string& from, const std::string& subject) {
    return std::string("pollensift: Warning: Message ") + number + " (From: " + from +
           ", Subject: " + subject +
           ") has a Message-ID of the wrong form; -i (--ignore-time-stamps) accepts such IDs.";
  };
  // No longer an error: one warning a message, from verbosity 4.
  EXPECT_EQ(errors(), Lines{});
  EXPECT_EQ(log_.linesStartingWith("Warning: "),
            (Lines{notice("1", "x@spam.example", "cheap pills"),
                   notice("2", "ann@example.org", "minutes"),
                   notice("3", "ann@example.org", "minutes")}));
  // Messages 2 and 3 share the ID, but an ID of the wrong form marks no duplicate.
  EXPECT_EQ(pop3_.tally().examined, 3);
  EXPECT_EQ(pop3_.tally().deleted, 1);
  EXPECT_EQ(log_.linesStartingWith("Deny: ").size(), 1u);
}

TEST_F(Pop3Test, ScanFailsWhenStatFails) {
  server_->expect("STAT\r\n", {"-ERR [SYS/TEMP] try later\r\n"});
  EXPECT_EQ(pop3_.scan(), -1);
  // The cause comes first; response codes are explained only for the login.
  EXPECT_EQ(errors(), (Lines{"pollensift: Error: The server replied: -ERR [SYS/TEMP] try later",
                             "pollensift: Error: Error occurred while sending STAT to server."}));
}

TEST_F(Pop3Test, StoresEveryFetchedHeaderWhole) {
  namespace fs = std::filesystem;
  const fs::path store = fs::temp_directory_path() / ("ps-headers-" + std::to_string(::getpid()));
  fs::remove(store);
  Settings::instance().setShowHeaders(store.string());
  server_->expect("STAT\r\n", {"+OK 2\r\n"});
  message(1, 10, kWanted);
  message(2, 10, kSpam);
  server_->expect("DELE 2\r\n", {"+OK\r\n"});
  EXPECT_EQ(pop3_.scan(), 0);
  std::ifstream in(store, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), top(kWanted) + "\n" + top(kSpam) + "\n");
  fs::remove(store);
}

TEST_F(Pop3Test, AnUnwritableHeaderStoreDoesNotStopTheScan) {
  Settings::instance().setShowHeaders("/nonexistent-dir/headers");
  server_->expect("STAT\r\n", {"+OK 1\r\n"});
  message(1, 10, kSpam);
  server_->expect("DELE 1\r\n", {"+OK\r\n"});
  EXPECT_EQ(pop3_.scan(), 0);
  EXPECT_EQ(errors(), Lines{"pollensift: Error: Could not write headers to separate file."});
  EXPECT_EQ(server_->written().back(), "DELE 1\r\n");
}

TEST_F(Pop3Test, Delete) {
  server_->expect("DELE 4\r\n", {"-ERR already deleted\r\n"});
  EXPECT_EQ(pop3_.deleteMessage(4), 0);
  EXPECT_EQ(server_->written(), (Lines{"DELE 4\r\n"}));
  server_->failWrites();
  EXPECT_EQ(pop3_.deleteMessage(5), -1);
}

TEST_F(Pop3Test, QuitWaitsForTheServersConfirmation) {
  const std::string unconfirmed = "; the deletions may not have been carried out.";
  struct Case {
    const char* name;
    std::vector<std::string> reply;
    bool closes;
    bool result;
    Lines errors;
  };
  const Case cases[] = {
      {"confirmed", {"+OK bye\r\n"}, false, true, {}},
      {"confirmed in pieces", {"+O", "K\r\n"}, false, true, {}},
      {"refused, control characters escaped", {"-ERR [SYS/TEMP] \x1b[2Jcannot\r\n"}, false, false,
       {"pollensift: Error: The server answered QUIT with \"-ERR [SYS/TEMP] \\x1b[2Jcannot\"" +
        unconfirmed}},
      {"silence", {}, false, false,
       {"pollensift: Error: Connection has timed out.",
        "pollensift: Error: The server did not answer QUIT" + unconfirmed}},
      {"connection closed", {}, true, false,
       {"pollensift: Error: The server closed the connection.",
        "pollensift: Error: The server did not answer QUIT" + unconfirmed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Session s;
    s.server->send({"+OK ready\r\n"});
    ASSERT_GT(s.socket.readReply(false), 0);  // the greeting: QUIT is never the first reply
    s.server->expect("QUIT\r\n", c.reply);
    if (c.closes) s.server->endStream();
    EXPECT_EQ(s.pop3.quit(), c.result);
    EXPECT_EQ(s.server->written(), Lines{"QUIT\r\n"});
    EXPECT_EQ(log.linesStartingWith("Error: "), c.errors);
  }
  LogCapture log;
  server_->failWrites();
  EXPECT_FALSE(pop3_.quit());
  EXPECT_EQ(log.linesStartingWith("Error: "),
            (Lines{"pollensift: Error: Broken pipe",
                   "pollensift: Error: QUIT could not be sent" + unconfirmed}));
}

TEST_F(Pop3Test, AfterAReplyWentAstrayQuitIsOnlySent) {
  // The TOP reply times out; its late reply could be mistaken for QUIT's, so none is read. (The
  // reads: STAT, CAPA, LIST 1, TOP 1 0 and its wait for more.)
  server_->expect("STAT\r\n", {"+OK 1\r\n"});
  server_->expect("LIST 1\r\n", {"+OK 1 10\r\n"});
  server_->expect("TOP 1 0\r\n", {"+OK\r\n"});
  EXPECT_EQ(pop3_.scan(), -1);
  server_->expect("QUIT\r\n", {"+OK\r\n"});
  EXPECT_TRUE(pop3_.quit());
  EXPECT_EQ(server_->written().back(), "QUIT\r\n");
  EXPECT_EQ(server_->waits().size(), 5u) << "no read after QUIT";
}

// One LIST gives the sizes only where it lists exactly the messages 1..count, in order.
TEST(ListedSizes, OnlyAListingOfEveryMessageInOrderIsTaken) {
  EXPECT_EQ(listedSizes("+OK 2 messages\r\n1 120 octets\r\n2 300\r\n.\r\n", 2),
            (std::vector<int>{120, 300}));
  EXPECT_EQ(listedSizes("+OK\r\n.\r\n", 0), std::vector<int>{});
  for (const char* listing : {"+OK\r\n1 120\r\n.\r\n", "+OK\r\n2 120\r\n1 300\r\n.\r\n",
                              "+OK\r\n1 120\r\n3 300\r\n.\r\n",
                              "+OK\r\n1 120\r\n2 300\r\n3 5\r\n.\r\n",
                              "+OK\r\n1 120\r\n2\r\n.\r\n", "+OK\r\n1 120\r\n2 x\r\n.\r\n"}) {
    EXPECT_EQ(listedSizes(listing, 2), std::nullopt) << listing;
  }
}

}  // namespace
