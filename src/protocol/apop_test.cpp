#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/socket.h"
#include "net/test_support.h"
#include "protocol/pop3.h"

namespace {

using Lines = std::vector<std::string>;

TEST(ApopDigestTest, IsTheMd5OfTimeStampAndPasswordInLowercaseHex) {
  // The example exchange of the POP3 standard.
  EXPECT_EQ(apopDigest("<1896.697170952@dbc.mtview.ca.us>", "tanstaaf"),
            "c4c9334bac560ecc979e58001b3e22fb");
  EXPECT_EQ(apopDigest("<1896.697170952@dbc.mtview.ca.us>", ""),
            "6d7379174f7df9fb329480e5c47c1f1a");
}

TEST(ApopLoginTest, SendsTheDigestOfTheFirstTimeStamp) {
  struct Case {
    const char* name;
    const char* greeting;
    const char* reply;
    bool result;
    Lines written;
    Lines errors;
  };
  const char* kCommand = "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n";
  const Case cases[] = {
      {"accepted", "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n",
       "+OK maildrop has 1 message\r\n", true, {"CAPA\r\n", kCommand}, {}},
      {"first of two, stray '>' before it",
       "+OK > ready <1896.697170952@dbc.mtview.ca.us> <other@x>\r\n", "+OK\r\n", true, {"CAPA\r\n", kCommand},
       {}},
      {"negative greeting with a time stamp", "-ERR <1896.697170952@dbc.mtview.ca.us>\r\n",
       "+OK\r\n", true, {"CAPA\r\n", kCommand}, {}},
      {"refused", "+OK <1896.697170952@dbc.mtview.ca.us>\r\n", "-ERR permission denied\r\n", false,
       {"CAPA\r\n", kCommand},
       {"pollensift: Error: APOP protocol initialisation error.",
        "pollensift: Error: The server replied: -ERR permission denied"}},
      {"no time stamp", "+OK POP3 ready\r\n", "+OK\r\n", false, {"CAPA\r\n"}, {}},
      {"no closing bracket", "+OK ready <1896.697170952@dbc\r\n", "+OK\r\n", false,
       {"CAPA\r\n"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    auto server = std::make_shared<FakeServer>();
    server->send({c.greeting});
    server->expect("CAPA\r\n", {"-ERR unknown command\r\n"});
    server->expect(kCommand, {c.reply});
    Socket socket(std::make_unique<FakeTransport>(server), 5);
    APOP apop;
    apop.setConnection(&socket);
    EXPECT_EQ(apop.login("mrose", "tanstaaf"), c.result);
    EXPECT_EQ(server->written(), c.written);
    EXPECT_EQ(log.linesStartingWith("Error: "), c.errors);
    if (c.written.size() > 1) {
      // The whole command is traced: it carries no password.
      EXPECT_EQ(log.linesStartingWith("Debugging: Wrote: APOP"),
                Lines{"pollensift: Debugging: Wrote: APOP mrose c4c9334bac560ecc979e58001b3e22fb"});
    }
  }
}

TEST(ApopLoginTest, FailsQuietlyWithoutAGreetingAndLoudlyWhenTheCommandCannotBeSent) {
  LogCapture log;
  auto server = std::make_shared<FakeServer>();
  server->endStream();
  Socket socket(std::make_unique<FakeTransport>(server), 5);
  APOP apop;
  apop.setConnection(&socket);
  EXPECT_FALSE(apop.login("mrose", "tanstaaf"));
  EXPECT_EQ(log.linesStartingWith("Error: "),
            Lines{"pollensift: Error: The server closed the connection."});

  LogCapture log2;
  auto gone = std::make_shared<FakeServer>();
  gone->send({"+OK <1896.697170952@dbc.mtview.ca.us>\r\n"});
  gone->expect("CAPA\r\n", {"-ERR unknown command\r\n"});
  gone->failWrite("APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n");
  Socket socket2(std::make_unique<FakeTransport>(gone), 5);
  apop.setConnection(&socket2);
  EXPECT_FALSE(apop.login("mrose", "tanstaaf"));
  EXPECT_EQ(log2.linesStartingWith("Error: "),
            (Lines{"pollensift: Error: Broken pipe",
                   "pollensift: Error: APOP protocol initialisation error."}));
}

}  // namespace
