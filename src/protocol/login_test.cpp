#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/socket.h"
#include "net/test_support.h"
#include "protocol/capabilities.h"
#include "protocol/pop3.h"
#include "protocol/server_words.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kCapaSasl =
    "+OK\r\nTOP\r\nUIDL\r\nSASL PLAIN xoauth2 OAUTHBEARER\r\nSTLS\r\n.\r\n";
const std::string kBearerError =
    "+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=\r\n";

TEST(CapabilitiesTest, ReadsNamesAndSaslMechanismsOnce) {
  const Capabilities capa = Capabilities::parse(kCapaSasl);
  EXPECT_TRUE(capa.known());
  EXPECT_TRUE(capa.has("stls"));
  EXPECT_TRUE(capa.has("uidl"));
  EXPECT_FALSE(capa.has("PIPELINING"));
  EXPECT_TRUE(capa.offersSasl("XOAUTH2"));
  EXPECT_FALSE(capa.offersSasl("LOGIN"));
  EXPECT_EQ(capa.saslList(), "OAUTHBEARER PLAIN XOAUTH2");

  // A server that lists no SASL line may still take AUTH; one without CAPA lists nothing.
  EXPECT_TRUE(Capabilities::parse("+OK\r\nUSER\r\n.\r\n").offersSasl("PLAIN"));
  const Capabilities none = Capabilities::parse("-ERR unknown command\r\n");
  EXPECT_FALSE(none.known());
  EXPECT_FALSE(none.has("STLS"));
  // Lines after the end marker belong to nobody.
  EXPECT_FALSE(Capabilities::parse("+OK\r\n.\r\nSTLS\r\n").has("STLS"));
}

TEST(ServerWordsTest, ShowsTheFirstLineCutAndExplainsLoginCodes) {
  EXPECT_EQ(serverWordsLine("-ERR [login-delay] wait 300\r\nmore\r\n", true),
            "The server replied: -ERR [login-delay] wait 300 (the provider limits how often you "
            "may log in; wait longer between runs)");
  EXPECT_EQ(serverWordsLine("-ERR [LOGIN-DELAY] wait\r\n", false),
            "The server replied: -ERR [LOGIN-DELAY] wait");
  EXPECT_EQ(serverWordsLine("-ERR [SYS/PERM] gone\r\n", true),
            "The server replied: -ERR [SYS/PERM] gone (a lasting fault on the server or the "
            "account; ask the provider)");
  EXPECT_EQ(serverWordsLine("-ERR no code [AUTH]\r\n", true),
            "The server replied: -ERR no code [AUTH]");
  EXPECT_EQ(serverWordsLine("-ERR \r\n", true), "");
  const std::string huge = "-ERR " + std::string(1000, 'x') + "\r\n";
  EXPECT_EQ(serverWordsLine(huge, false),
            "The server replied: -ERR " + std::string(195, 'x') + "...");
}

// A POP3 login against a scripted server, with what it wrote and the lines it reported.
struct LoginRun {
  bool result;
  Lines written;
  Lines errors;
  Lines traces;
  Lines all;
};

LoginRun login(const std::shared_ptr<FakeServer>& server, const char* mechanism,
               int code = kProtocolPop3, const char* password = "tok3n") {
  LogCapture log;
  server->endStream();
  Socket socket(std::make_unique<FakeTransport>(server), 5);
  POP3 pop3;
  pop3.setProtocolType(code);
  pop3.setConnection(&socket);
  pop3.setLoginOptions({mechanism, "pop.example", 995, "jo"});
  const bool result = pop3.login("jo", password);
  return {result, server->written(), log.linesStartingWith("Error: "),
          log.linesStartingWith("Debugging: Wrote: "), log.lines()};
}

TEST(SaslLoginTest, SendsEachMechanismsResponseAfterTheInvitationAndMasksIt) {
  struct Case {
    const char* mechanism;
    const char* response;
  };
  const Case cases[] = {
      {"PLAIN", "AGpvAHRvazNu\r\n"},
      {"XOAUTH2", "dXNlcj1qbwFhdXRoPUJlYXJlciB0b2szbgEB\r\n"},
      {"OAUTHBEARER",
       "bixhPWpvLAFob3N0PXBvcC5leGFtcGxlAXBvcnQ9OTk1AWF1dGg9QmVhcmVyIHRvazNuAQE=\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mechanism);
    auto server = std::make_shared<FakeServer>();
    server->send({"+OK ready\r\n"});
    server->expect("CAPA\r\n", {kCapaSasl});
    server->expect(std::string("AUTH ") + c.mechanism + "\r\n", {"+ \r\n"});
    server->expect(c.response, {"+OK Logged in.\r\n"});
    const LoginRun run = login(server, c.mechanism);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.written,
              (Lines{"CAPA\r\n", std::string("AUTH ") + c.mechanism + "\r\n", c.response}));
    EXPECT_EQ(run.errors, Lines{});
    EXPECT_EQ(run.traces.back(), "pollensift: Debugging: Wrote: *****");
  }
}

const char* const kXoauth2 = "dXNlcj1qbwFhdXRoPUJlYXJlciB0b2szbgEB\r\n";
const char* const kOauthBearer =
    "bixhPWpvLAFob3N0PXBvcC5leGFtcGxlAXBvcnQ9OTk1AWF1dGg9QmVhcmVyIHRvazNuAQE=\r\n";

TEST(SaslLoginTest, ReportsARejectedTokenInTheServersWords) {
  struct Case {
    const char* mechanism;
    const char* response;
    const char* answer;  // to the challenge that carries the error
  };
  for (const Case& c : {Case{"XOAUTH2", kXoauth2, "\r\n"},
                        Case{"OAUTHBEARER", kOauthBearer, "AQ==\r\n"}}) {
    SCOPED_TRACE(c.mechanism);
    auto server = std::make_shared<FakeServer>();
    server->send({"+OK ready\r\n"});
    // A server without CAPA is simply asked.
    server->expect("CAPA\r\n", {"-ERR no CAPA here\r\n"});
    server->expect(std::string("AUTH ") + c.mechanism + "\r\n", {"+\r\n"});
    server->expect(c.response, {kBearerError});
    server->expect(c.answer, {"-ERR [AUTH] Authentication failed.\r\n"});
    const LoginRun run = login(server, c.mechanism);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.written, (Lines{"CAPA\r\n", std::string("AUTH ") + c.mechanism + "\r\n",
                                  c.response, c.answer}));
    EXPECT_EQ(run.errors,
              (Lines{std::string("pollensift: Error: Error occurred while sending AUTH ") +
                         c.mechanism + " to server.",
                     "pollensift: Error: The server's error: "
                     "{\"status\":\"401\",\"schemes\":\"bearer\",\"scope\":\"mail\"}",
                     "pollensift: Error: The server replied: -ERR [AUTH] Authentication failed. "
                     "(the user name, password or token was not accepted)"}));
  }
}

// A hostile server sends back what it was sent: the SASL response in its error challenge (read
// as base64, so shown decoded) and in its "-ERR" line, the password in its "-ERR" line. None of
// it may reach the log, at any level, not even the part before a cut.
TEST(SaslLoginTest, ASecretTheServerSendsBackIsHidden) {
  const std::string token = "ya29.tok-" + std::string(300, 'Q');
  const std::string refused = " (the user name, password or token was not accepted)";
  for (const std::string mechanism : {"XOAUTH2", "OAUTHBEARER", "PLAIN", ""}) {
    SCOPED_TRACE(mechanism);
    const bool sasl = !mechanism.empty();
    const Lines errors =
        sasl ? Lines{"pollensift: Error: Error occurred while sending AUTH " + mechanism +
                         " to server.",
                     "pollensift: Error: The server's error: *****",
                     "pollensift: Error: The server replied: -ERR [AUTH] not ***** nor *****" +
                         refused}
             : Lines{"pollensift: Error: Error occurred while sending password to server.",
                     "pollensift: Error: The server replied: -ERR [AUTH] not *****" + refused};
    auto server = std::make_shared<FakeServer>();
    server->send({"+OK ready\r\n"});
    server->expect("CAPA\r\n", {kCapaSasl});
    if (sasl) {
      server->expect("AUTH " + mechanism + "\r\n", {"+ \r\n"});
    } else {
      server->expect("USER jo\r\n", {"+OK\r\n"});
    }
    std::string response;  // what carried the secret, without its line end
    server->answerWith([&](const std::string& text) -> std::vector<std::string> {
      if (response.empty()) {
        response = text.substr(0, text.size() - 2);
        if (sasl) return {"+ " + text};
        return {"-ERR [AUTH] not " + token + "\r\n"};
      }
      return {"-ERR [AUTH] not " + response + " nor " + token + "\r\n"};
    });
    const LoginRun run = login(server, mechanism.c_str(), kProtocolPop3, token.c_str());
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.errors, errors);
    ASSERT_FALSE(response.empty());
    // The server's words were traced, hidden too, and what went out was traced masked.
    EXPECT_NE(std::find(run.all.begin(), run.all.end(),
                        "pollensift: Debugging: Read: -ERR [AUTH] not " +
                            std::string(sasl ? "***** nor *****" : "*****")),
              run.all.end());
    EXPECT_NE(std::find(run.traces.begin(), run.traces.end(),
                        std::string("pollensift: Debugging: Wrote: ") + (sasl ? "" : "PASS ") +
                            "*****"),
              run.traces.end());
    for (const std::string& line : run.all) {
      for (const std::string& secret : {token.substr(0, 12), response.substr(0, 12)}) {
        EXPECT_EQ(line.find(secret), std::string::npos) << line;
      }
    }
  }
}

TEST(SaslLoginTest, NeverSendsTheSecretWhereItDoesNotBelong) {
  struct Case {
    const char* name;
    std::string capa;
    std::string auth_reply;
    Lines written;
    Lines errors;
  };
  const Case cases[] = {
      {"mechanism not offered", "+OK\r\nSASL PLAIN LOGIN\r\n.\r\n", "", {"CAPA\r\n"},
       {"pollensift: Error: The server does not offer AUTH XOAUTH2; it offers LOGIN PLAIN."}},
      {"AUTH refused", "-ERR\r\n", "-ERR [SYS/TEMP] backend down\r\n",
       {"CAPA\r\n", "AUTH XOAUTH2\r\n"},
       {"pollensift: Error: Error occurred while sending AUTH XOAUTH2 to server.",
        "pollensift: Error: The server replied: -ERR [SYS/TEMP] backend down (a temporary fault "
        "on the server; try again later)"}},
      // "+OK" to AUTH alone would skip the response: not a login this client understands.
      {"no invitation", "-ERR\r\n", "+OK\r\n", {"CAPA\r\n", "AUTH XOAUTH2\r\n"},
       {"pollensift: Error: Error occurred while sending AUTH XOAUTH2 to server."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = std::make_shared<FakeServer>();
    server->send({"+OK ready\r\n"});
    server->expect("CAPA\r\n", {c.capa});
    server->expect("AUTH XOAUTH2\r\n", {c.auth_reply});
    const LoginRun run = login(server, "XOAUTH2");
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.written, c.written);
    EXPECT_EQ(run.errors, c.errors);
  }
}

TEST(SaslLoginTest, AContinuationThatNeverEndsIsGivenUp) {
  auto server = std::make_shared<FakeServer>();
  server->send({"+OK ready\r\n"});
  server->expect("CAPA\r\n", {kCapaSasl});
  server->expect("AUTH XOAUTH2\r\n", {"+ \r\n"});
  server->expect(kXoauth2, {"+ \r\n"});
  server->expect("\r\n", {"+ \r\n"});
  const LoginRun run = login(server, "XOAUTH2");
  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.written,
            (Lines{"CAPA\r\n", "AUTH XOAUTH2\r\n", kXoauth2, "\r\n", "*\r\n"}));
  EXPECT_EQ(run.errors.back(),
            "pollensift: Error: The server's AUTH dialogue does not end; the login is given up.");
}

TEST(CapabilitiesLoginTest, UTF8IsSaidBeforeTheLoginWhenListed) {
  struct Case {
    const char* name;
    std::vector<std::string> capa;
    Lines written;
    bool result;
  };
  const Case cases[] = {
      {"UTF8 listed", {"+OK\r\nUSER\r\nUTF8 USER\r\n.\r\n"},
       {"CAPA\r\n", "UTF8\r\n", "USER jo\r\n", "PASS tok3n\r\n"}, true},
      {"not listed", {"+OK\r\nUSER\r\n.\r\n"}, {"CAPA\r\n", "USER jo\r\n", "PASS tok3n\r\n"},
       true},
      // Without an answer to CAPA a late one would be taken for USER's: the login ends.
      {"no answer", {}, {"CAPA\r\n"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = std::make_shared<FakeServer>();
    server->send({"+OK ready\r\n"});
    server->expect("CAPA\r\n", c.capa);
    // The script answers in order, so UTF8 is scripted only where it is due.
    if (c.written.size() > 1 && c.written[1] == "UTF8\r\n") {
      server->expect("UTF8\r\n", {"+OK UTF8 enabled\r\n"});
    }
    server->expect("USER jo\r\n", {"+OK\r\n"});
    server->expect("PASS tok3n\r\n", {"+OK\r\n"});
    const LoginRun run = login(server, "");
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.written, c.written);
  }
}

TEST(StlsLoginTest, NothingButStlsGoesOutBeforeTlsIsUp) {
  struct Case {
    const char* name;
    std::vector<std::string> capa;
    std::vector<std::string> stls_reply;
    Lines written;
    Lines errors;
  };
  const Case cases[] = {
      {"no STLS in CAPA", {"+OK\r\nUSER\r\n.\r\n"}, {}, {"CAPA\r\n"},
       {"pollensift: Error: The server does not offer STLS, so the account is skipped: the "
        "password would go out in clear text."}},
      {"no CAPA at all", {"-ERR what?\r\n"}, {}, {"CAPA\r\n"},
       {"pollensift: Error: The server does not offer STLS, so the account is skipped: the "
        "password would go out in clear text."}},
      {"STLS refused", {kCapaSasl}, {"-ERR [SYS/TEMP] no TLS today\r\n"},
       {"CAPA\r\n", "STLS\r\n"},
       {"pollensift: Error: Error occurred while sending STLS to server.",
        "pollensift: Error: The server replied: -ERR [SYS/TEMP] no TLS today (a temporary fault "
        "on the server; try again later)"}},
      {"closed after STLS", {kCapaSasl}, {}, {"CAPA\r\n", "STLS\r\n"},
       {"pollensift: Error: The server closed the connection.",
        "pollensift: Error: Error occurred while sending STLS to server."}},
      // Bytes behind the consent did not come through TLS; they must not be read as if.
      {"clear text after the consent", {kCapaSasl}, {"+OK Begin TLS\r\n+OK Logged in.\r\n"},
       {"CAPA\r\n", "STLS\r\n"},
       {"pollensift: Error: The server sent more text after agreeing to start TLS."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = std::make_shared<FakeServer>();
    server->send({"+OK ready\r\n"});
    server->expect("CAPA\r\n", c.capa);
    server->expect("STLS\r\n", c.stls_reply);
    server->expect("USER jo\r\n", {"+OK\r\n"});
    server->expect("PASS tok3n\r\n", {"+OK\r\n"});
    const LoginRun run = login(server, "", kProtocolPop3Stls);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.written, c.written);
    EXPECT_EQ(run.errors, c.errors);
  }
}

}  // namespace
