#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/mail_account.h"
#include "config/settings.h"
#include "filter/filter_engine.h"
#include "net/socket.h"
#include "net/test_support.h"
#include "protocol/account_check.h"
#include "protocol/account_objects.h"
#include "protocol/mailbox_lock.h"
#include "protocol/pop3.h"

namespace {

using Lines = std::vector<std::string>;

// connect and close are scripted; the dialogue in between goes to a FakeServer.
class ScriptedConnection : public Connection {
 public:
  ScriptedConnection(std::shared_ptr<FakeServer> server, int connect_result)
      : server_(std::move(server)), connect_result_(connect_result) {}

  int connect(const char* host, int port, int timeout, int protocolType) override {
    connected_to = std::string(host) + ":" + std::to_string(port) + " timeout " +
                   std::to_string(timeout) + " code " + std::to_string(protocolType);
    if (connect_result_ == 0) socket_ = std::make_unique<Socket>(std::make_unique<FakeTransport>(server_), timeout);
    return connect_result_;
  }
  int close() override {
    ++closes;
    return socket_ ? socket_->close() : -1;
  }
  int readReply(bool multiline) override { return socket_->readReply(multiline); }
  int sendCommand(const char* text) override { return socket_->sendCommand(text); }
  int sendCommands(const std::string& commands) override { return socket_->sendCommands(commands); }
  bool pendingInput() const override { return socket_->pendingInput(); }
  int sendSecret(const char* text, size_t shown) override {
    return socket_->sendSecret(text, shown);
  }
  int startTls() override { return socket_->startTls(); }
  void setTlsTrust(const TlsTrust& trust) override { trust_fingerprint = trust.fingerprint; }
  const std::string* lastReply() const override { return socket_->lastReply(); }

  std::string connected_to;
  std::string trust_fingerprint;
  int closes = 0;

 private:
  std::shared_ptr<FakeServer> server_;
  int connect_result_;
  std::unique_ptr<Socket> socket_;
};

class AccountCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FilterEngine::instance().resetForTesting();
    remaining_total = 0;
    // Tests that run at the same time must not meet at their mailbox locks.
    char name[] = "/tmp/account-check-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    lock_dir_ = name;
    MailboxLock::setDirectoryForTesting(lock_dir_ + "/locks");
  }
  void TearDown() override {
    MailboxLock::setDirectoryForTesting("");
    std::filesystem::remove_all(lock_dir_);
  }

  // An account of the rc file whose connection is scripted.
  MailAccount account(int connect_result = 0) {
    auto connection = std::make_shared<ScriptedConnection>(server_, connect_result);
    connection_ = connection.get();
    auto protocol = std::make_shared<POP3>();
    protocol->setProtocolType(2);
    MailAccount mailbox;
    mailbox.setServer("pop.example.org");
    mailbox.setUser("jo");
    mailbox.setPass("pw");
    mailbox.setPort(1110);
    mailbox.setObjects(2, pairAccountObjects(std::move(protocol), std::move(connection)));
    return mailbox;
  }
  void loginOk() {
    server_->send({"+OK hi\r\n"});
    // PIPELINING = "no" keeps the dialogue without CAPA.
    if (Settings::instance().pipelining()) {
      server_->expect("CAPA\r\n", {"-ERR unknown command\r\n"});
    }
    server_->expect("USER jo\r\n", {"+OK\r\n"});
    server_->expect("PASS pw\r\n", {"+OK\r\n"});
  }
  Lines errors() const { return log_.linesStartingWith("Error: "); }
  // A fresh account on a server with two messages, one at a time: the first condemned by the rule
  // "^Subject: cheap" and deleted, the second's LIST answered with second_list.
  MailAccount twoMessages(const std::string& second_list) {
    Settings::instance().setPipelining("no");
    Settings::instance().addDeny("DENY", "=", "^Subject: cheap");
    EXPECT_EQ(compileRules(), 0);
    server_ = std::make_shared<FakeServer>();
    MailAccount mailbox = account();
    loginOk();
    server_->expect("STAT\r\n", {"+OK 2 20\r\n"});
    server_->expect("STAT\r\n", {"+OK 2 20\r\n"});
    // No CAPA and no listing of every size: LIST n for each message.
    server_->expect("CAPA\r\n", {"-ERR\r\n"});
    server_->expect("LIST\r\n", {"-ERR\r\n"});
    server_->expect("LIST 1\r\n", {"+OK 1 10\r\n"});
    server_->expect("TOP 1 0\r\n", {"+OK\r\nSubject: cheap\r\n\r\n.\r\n"});
    server_->expect("DELE 1\r\n", {"+OK\r\n"});
    server_->expect("LIST 2\r\n", {second_list});
    server_->expect("TOP 2 0\r\n", {"+OK\r\nSubject: fine\r\n\r\n.\r\n"});
    return mailbox;
  }

  std::string lock_dir_;
  LogCapture log_{3};
  std::shared_ptr<FakeServer> server_ = std::make_shared<FakeServer>();
  ScriptedConnection* connection_ = nullptr;
};

TEST_F(AccountCheckTest, UnreachableServerGivesUpWithoutClosing) {
  Settings::instance().setTimeout(9);
  MailAccount mailbox = account(-1);
  EXPECT_EQ(checkAccount(mailbox), -1);
  EXPECT_EQ(connection_->connected_to, "pop.example.org:1110 timeout 9 code 2");
  EXPECT_EQ(errors(), Lines{"pollensift: Error: Could not establish network connection."});
  EXPECT_EQ(connection_->closes, 0);
}

// Another run checking the same mailbox: skipped at once, no connection, nothing counted.
TEST_F(AccountCheckTest, AMailboxAnotherRunHoldsIsSkippedBeforeConnecting) {
  MailAccount mailbox = account();
  remaining_total = 4;
  {
    const MailboxLock other_run("pop.example.org", 1110, "jo");
    EXPECT_EQ(checkAccount(mailbox), -1);
    EXPECT_EQ(errors(), Lines{"pollensift: Error: Another pollensift is checking this mailbox now "
                              "(it holds the lock '" + other_run.path() +
                              "'); this run skips it."});
    EXPECT_EQ(connection_->connected_to, "");
    EXPECT_EQ(remaining_total, 4);
  }
  // Once the other run is done, the mailbox is checked.
  loginOk();
  server_->expect("STAT\r\n", {"+OK 0 0\r\n"});
  server_->expect("STAT\r\n", {"+OK 0 0\r\n"});
  server_->expect("QUIT\r\n", {"+OK\r\n"});
  EXPECT_EQ(checkAccount(mailbox), 0);
  EXPECT_EQ(connection_->connected_to.rfind("pop.example.org:1110 ", 0), 0u);
}

TEST_F(AccountCheckTest, RefusedLoginClosesWithoutQuit) {
  MailAccount mailbox = account();
  server_->send({"+OK hi\r\n"});
  server_->expect("CAPA\r\n", {"-ERR unknown command\r\n"});
  server_->expect("USER jo\r\n", {"+OK\r\n"});
  server_->expect("PASS pw\r\n", {"-ERR [AUTH] Authentication failed.\r\n"});
  EXPECT_EQ(checkAccount(mailbox), -1);
  EXPECT_EQ(errors(), (Lines{"pollensift: Error: Error occurred while sending password to server.",
                             "pollensift: Error: The server replied: -ERR [AUTH] Authentication "
                             "failed. (the user name, password or token was not accepted)",
                             "pollensift: Error: Server login failure."}));
  EXPECT_EQ(server_->written(), (Lines{"CAPA\r\n", "USER jo\r\n", "PASS pw\r\n"}));
  EXPECT_EQ(connection_->closes, 1);
}

TEST_F(AccountCheckTest, EmptyMailboxIsVisitedThrough) {
  MailAccount mailbox = account();
  loginOk();
  server_->expect("STAT\r\n", {"+OK 0 0\r\n"});
  server_->expect("STAT\r\n", {"+OK 0 0\r\n"});
  server_->expect("QUIT\r\n", {"+OK bye\r\n"});
  EXPECT_EQ(checkAccount(mailbox), 0);
  EXPECT_EQ(log_.lines(), (Lines{"pollensift: Examining 0 message(s).",
                                 "pollensift: Examined 0 message(s): 0 deleted, 0 kept.",
                                 "pollensift: Summary for jo@pop.example.org: 0 message(s) "
                                 "examined, 0 deleted, 0 kept."}));
  EXPECT_EQ(server_->written(), (Lines{"CAPA\r\n", "USER jo\r\n", "PASS pw\r\n", "STAT\r\n", "STAT\r\n", "QUIT\r\n"}));
  EXPECT_EQ(connection_->closes, 1);
  EXPECT_EQ(remaining_total, 0);
}

TEST_F(AccountCheckTest, ReturnValueCountsWhatTheScanLeft) {
  for (bool return_value : {false, true}) {
    SCOPED_TRACE(return_value);
    LogCapture log(3);
    Settings::instance().setReturnValue(return_value);
    remaining_total = 5;
    MailAccount mailbox = twoMessages("+OK 2 10\r\n");
    if (return_value) server_->expect("STAT\r\n", {"+OK 1 10\r\n"});
    server_->expect("QUIT\r\n", {"+OK\r\n"});
    EXPECT_EQ(checkAccount(mailbox), 0);
    EXPECT_EQ(remaining_total, return_value ? 6 : 7);
    EXPECT_EQ(server_->written().back(), "QUIT\r\n");
  }
}

TEST_F(AccountCheckTest, HugeCountsFromTheServerSaturate) {
  MailAccount mailbox = account();
  loginOk();
  server_->expect("STAT\r\n", {"+OK 0 0\r\n"});
  server_->expect("STAT\r\n", {"+OK 0 0\r\n"});  // the scan's own
  server_->expect("STAT\r\n", {"+OK 99999999999 0\r\n"});
  server_->expect("QUIT\r\n", {"+OK\r\n"});
  Settings::instance().setReturnValue(true);
  remaining_total = 7;
  EXPECT_EQ(checkAccount(mailbox), 0);
  EXPECT_EQ(remaining_total, INT_MAX);
  Settings::instance().resetForTesting();
}

TEST_F(AccountCheckTest, FailuresAfterLoginQuitAndClose) {
  struct Case {
    const char* name;
    std::vector<std::string> stat_replies;
    bool return_value;
    Lines errors;
  };
  const Case cases[] = {
      {"status", {"-ERR\r\n"}, false, {"pollensift: Error: Could not determine mailbox status."}},
      {"scan",
       {"+OK 1\r\n", "-ERR\r\n"},
       false,
       {"pollensift: Error: Error occurred while sending STAT to server.",
        "pollensift: Error: Scanning of mail account failed."}},
      {"second status", {"+OK 0\r\n", "+OK 0\r\n", "-ERR\r\n"}, true,
       {"pollensift: Error: Could not determine mailbox status."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log(3);
    Settings::instance().setReturnValue(c.return_value);
    server_ = std::make_shared<FakeServer>();
    remaining_total = 0;
    MailAccount mailbox = account();
    loginOk();
    for (const std::string& reply : c.stat_replies) server_->expect("STAT\r\n", {reply});
    server_->expect("QUIT\r\n", {"+OK\r\n"});
    EXPECT_EQ(checkAccount(mailbox), -1);
    EXPECT_EQ(log.linesStartingWith("Error: "), c.errors);
    EXPECT_EQ(server_->written().back(), "QUIT\r\n");
    EXPECT_EQ(connection_->closes, 1);
    EXPECT_EQ(remaining_total, 0);
  }
}

// Once a DELE has gone out, a session that fails for any reason must carry out none of its
// deletions: RSET withdraws them and no QUIT is sent.
TEST_F(AccountCheckTest, AFailureAfterADeleWithdrawsTheDeletions) {
  struct Case {
    const char* name;
    const char* second_list;  // the reply to LIST 2
    bool return_value;
    const char* stat_after;   // the reply to the STAT of --return-value
    Lines errors;
  };
  const Lines withdrawn = {
      "pollensift: Error: No message of this session is deleted: it ends with RSET and without "
      "QUIT, so the server keeps the 1 message(s) marked for deletion."};
  const Case cases[] = {
      {"the scan slips", "+OK 3 10\r\n", false, "",
       {"pollensift: Error: The server's reply to LIST 2 cannot be read: \"+OK 3 10\".",
        "pollensift: Error: Error occurred while sending LIST to server.",
        "pollensift: Error: Scanning of mail account failed.", withdrawn[0]}},
      {"the STAT after the scan fails", "+OK 2 10\r\n", true, "-ERR\r\n",
       {"pollensift: Error: Could not determine mailbox status.", withdrawn[0]}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log(3);
    Settings::instance().setReturnValue(c.return_value);
    MailAccount mailbox = twoMessages(c.second_list);
    if (c.return_value) server_->expect("STAT\r\n", {c.stat_after});
    EXPECT_EQ(checkAccount(mailbox), -1);
    EXPECT_EQ(log.linesStartingWith("Error: "), c.errors);
    EXPECT_EQ(server_->written().back(), "RSET\r\n");
    EXPECT_EQ(std::count(server_->written().begin(), server_->written().end(), "QUIT\r\n"), 0);
    EXPECT_EQ(connection_->closes, 1);
    // A failed scan says so in its tally too.
    EXPECT_EQ(log.linesStartingWith("Examined ").front(),
              c.return_value ? "pollensift: Examined 2 message(s): 1 deleted, 1 kept."
                             : "pollensift: Examined 1 message(s): 0 deleted, 1 kept.");
  }
}

TEST_F(AccountCheckTest, WithoutQuitsConfirmationTheAccountFails) {
  struct Case {
    const char* name;
    bool write_fails;
    std::vector<std::string> reply;
    std::string error;
  };
  const Case cases[] = {
      {"not sent", true, {}, "pollensift: Error: Broken pipe"},
      {"refused", false, {"-ERR [IN-USE] not now\r\n"},
       "pollensift: Error: The server answered QUIT with \"-ERR [IN-USE] not now\"; the deletions "
       "may not have been carried out."},
      {"no answer", false, {}, "pollensift: Error: Connection has timed out."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log(3);
    server_ = std::make_shared<FakeServer>();
    MailAccount mailbox = account();
    loginOk();
    server_->expect("STAT\r\n", {"+OK 0\r\n"});
    server_->expect("STAT\r\n", {"+OK 0\r\n"});
    if (c.write_fails) server_->failWrite("QUIT\r\n");
    server_->expect("QUIT\r\n", c.reply);
    EXPECT_EQ(checkAccount(mailbox), -1);
    const Lines errors = log.linesStartingWith("Error: ");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front(), c.error);
    EXPECT_EQ(connection_->closes, 1);
  }
}

// The whole dialogue of one account by what the server lists before the login. Where it lists
// PIPELINING, what need not wait goes together: PASS with USER (where it also lists USER), STAT
// once and with the CAPA after the login; the STAT of --return-value stays. Elsewhere every
// command goes alone, and one LIST gives every size.
TEST_F(AccountCheckTest, APipeliningServerGetsTheFewestRoundTrips) {
  const std::string offered = "+OK\r\nTOP\r\nUSER\r\nPIPELINING\r\n.\r\n";
  const Lines login = {"CAPA", "USER jo", "PASS pw", "STAT"};
  // Where the server pipelines, the CAPA after the login goes with STAT.
  const Lines pipelined_login = {"CAPA", "USER jo", "PASS pw", "STAT", "CAPA"};
  const Lines scan = {"LIST 1", "TOP 1 0", "LIST 2", "TOP 2 0", "DELE 1", "QUIT"};
  const Lines plain_scan = {"LIST", "TOP 1 0", "DELE 1", "TOP 2 0", "QUIT"};
  auto join = [](Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    const char* name;
    std::string capa;
    const char* pipelining;
    int messages;
    bool return_value;
    Lines written;  // without line ends
    size_t writes;
  };
  const Case cases[] = {
      {"empty", offered, "yes", 0, false, join(pipelined_login, {"QUIT"}), 4},
      {"empty, -r", offered, "yes", 0, true, join(pipelined_login, {"STAT", "QUIT"}), 5},
      {"two messages", offered, "yes", 2, false, join(pipelined_login, scan), 6},
      {"without USER listed", "+OK\r\nPIPELINING\r\n.\r\n", "yes", 0, false,
       join(pipelined_login, {"QUIT"}), 5},
      {"without PIPELINING listed", "+OK\r\nUSER\r\n.\r\n", "yes", 2, false,
       join(login, join({"STAT", "CAPA"}, plain_scan)), 11},
      {"CAPA refused", "-ERR\r\n", "yes", 0, false, join(login, {"STAT", "QUIT"}), 6},
      {"PIPELINING = no", offered, "no", 2, false,
       join({"USER jo", "PASS pw", "STAT", "STAT", "CAPA"}, plain_scan), 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log(6);
    Settings::instance().setPipelining(c.pipelining);
    Settings::instance().setReturnValue(c.return_value);
    Settings::instance().addDeny("DENY", "=", "^Subject: cheap");
    ASSERT_EQ(compileRules(), 0);
    FilterEngine::instance().resetForTesting();
    server_ = std::make_shared<FakeServer>();
    MailAccount mailbox = account();
    server_->send({"+OK hi\r\n"});
    const int messages = c.messages;
    const std::string capa = c.capa;
    server_->answerWith([messages, capa](const std::string& text) -> std::vector<std::string> {
      if (text == "CAPA\r\n") return {capa};
      if (text == "STAT\r\n") return {"+OK " + std::to_string(messages) + " 20\r\n"};
      if (text == "TOP 1 0\r\n") return {"+OK\r\nSubject: cheap\r\n\r\n.\r\n"};
      if (text == "TOP 2 0\r\n") return {"+OK\r\nSubject: fine\r\n\r\n.\r\n"};
      if (text.starts_with("LIST ")) return {"+OK " + text.substr(5, 1) + " 10\r\n"};
      if (text == "LIST\r\n") return {messages == 2 ? "+OK\r\n1 10\r\n2 10\r\n.\r\n" : "+OK\r\n.\r\n"};
      return {"+OK\r\n"};
    });
    EXPECT_EQ(checkAccount(mailbox), 0);
    EXPECT_EQ(log.linesStartingWith("Error: "), Lines{});
    Lines written;
    for (const std::string& text : server_->written()) written.push_back(text.substr(0, text.size() - 2));
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(server_->writes(), c.writes);
    // PASS is traced masked, whether it went alone or with USER.
    const Lines lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "pollensift: Debugging: Wrote: PASS *****"), 1);
    for (const std::string& line : lines) EXPECT_EQ(line.find("PASS pw"), std::string::npos);
  }
}

// PASS sent with USER: however the server answers the two, the login fails as it would have one
// command at a time, every reply that came is read, and nothing follows the login.
TEST_F(AccountCheckTest, APipelinedLoginThatFails) {
  const std::string refused = "-ERR [AUTH] Authentication failed.\r\n";
  const std::string words =
      "pollensift: Error: The server replied: -ERR [AUTH] Authentication failed. (the user name, "
      "password or token was not accepted)";
  const std::string user_failed = "pollensift: Error: Error occurred while sending username to server.";
  const std::string pass_failed = "pollensift: Error: Error occurred while sending password to server.";
  const std::string failure = "pollensift: Error: Server login failure.";
  struct Case {
    const char* name;
    std::vector<std::string> user_reply;
    std::vector<std::string> pass_reply;
    Lines errors;
  };
  const Case cases[] = {
      {"USER refused, PASS refused", {refused}, {refused}, {user_failed, words, failure}},
      {"USER refused, PASS accepted", {refused}, {"+OK\r\n"}, {user_failed, words, failure}},
      {"USER refused, PASS unanswered", {refused}, {},
       {user_failed, words, "pollensift: Error: Connection has timed out.", failure}},
      {"PASS refused", {"+OK\r\n"}, {refused}, {pass_failed, words, failure}},
      // A server that lists PIPELINING yet drops what came with the command it answers.
      {"PASS unanswered", {"+OK\r\n"}, {},
       {"pollensift: Error: Connection has timed out.", pass_failed,
        "pollensift: Error: The server did not answer PASS sent together with USER, as it offers "
        "PIPELINING; with PIPELINING = \"no\" every command waits for the reply before it.",
        failure}},
      {"USER unanswered", {}, {}, {"pollensift: Error: Connection has timed out.", user_failed, failure}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log(3);
    server_ = std::make_shared<FakeServer>();
    MailAccount mailbox = account();
    server_->send({"+OK hi\r\n"});
    server_->expect("CAPA\r\n", {"+OK\r\nUSER\r\nPIPELINING\r\n.\r\n"});
    server_->expect("USER jo\r\n", c.user_reply);
    server_->expect("PASS pw\r\n", c.pass_reply);
    EXPECT_EQ(checkAccount(mailbox), -1);
    EXPECT_EQ(log.linesStartingWith("Error: "), c.errors);
    EXPECT_EQ(server_->written(), (Lines{"CAPA\r\n", "USER jo\r\n", "PASS pw\r\n"}));
    EXPECT_EQ(server_->writes(), 2u);
    EXPECT_FALSE(connection_->pendingInput());
    EXPECT_EQ(connection_->closes, 1);
  }
}

TEST(AccountObjectsTest, ProtocolCodesMakeTheirObjects) {
  struct Case {
    int code;
    bool apop;
    int stored;
  };
  for (const Case& c : {Case{2, false, 2}, Case{4, true, 4}, Case{4098, false, 4098},
                        Case{4100, true, 4100}, Case{7, false, 2}}) {
    SCOPED_TRACE(c.code);
    const std::shared_ptr<AccountObjects> objects = makeAccountObjects(c.code);
    ASSERT_NE(objects, nullptr);
    Protocol* protocol = objects->protocol();
    ASSERT_NE(protocol, nullptr);
    EXPECT_EQ(dynamic_cast<APOP*>(protocol) != nullptr, c.apop);
    EXPECT_NE(dynamic_cast<POP3*>(protocol), nullptr);
    EXPECT_EQ(protocol->protocolType(), c.stored);
    EXPECT_NE(dynamic_cast<Socket*>(objects->connection()), nullptr);
    EXPECT_EQ(protocol->connection(), objects->connection());
  }
}

}  // namespace
