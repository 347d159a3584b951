// The scan where the server is asked for its capabilities and, when it offers PIPELINING, keeps a
// window of commands in flight; and how the scan notices a reply stream that has slipped.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "filter/seen_ids.h"
#include "net/socket.h"
#include "net/test_support.h"
#include "protocol/incremental_scan.h"
#include "protocol/pop3.h"
#include "protocol/uidl_state.h"
#include "quarantine/quarantine.h"
#include "rules/rules.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kCapaPipelining = "+OK\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.\r\n";
const std::string kCapaPlain = "+OK\r\nTOP\r\nUIDL\r\n.\r\n";

std::string top(const std::string& header) { return "+OK\r\n" + header + "\r\n.\r\n"; }
std::string wanted(int n) {
  return "From: ann@example.org\r\nSubject: minutes " + std::to_string(n) +
         "\r\nMessage-ID: <" + std::to_string(n) + "@example.org>\r\n";
}
std::string spam(int n) {
  return "From: x@spam.example\r\nSubject: cheap pills\r\nMessage-ID: <" + std::to_string(n) +
         "@spam.example>\r\n";
}
std::string number(int n, const char* keyword) { return keyword + std::to_string(n); }
std::string list(int n, int size = 100) { return number(n, "+OK ") + " " + std::to_string(size) + "\r\n"; }

// The replies of a mailbox of headers, for every command but STAT; a message is 100 octets.
std::vector<std::string> mailbox(const std::vector<std::string>& headers, const std::string& capa,
                                 const std::string& command) {
  int n = 0;
  const bool exists = std::sscanf(command.c_str(), "%*s %d", &n) == 1 && n >= 1 &&
                      n <= static_cast<int>(headers.size());
  if (command == "CAPA\r\n") return {capa};
  if (command == "LIST\r\n") {
    std::string listing = "+OK\r\n";
    for (size_t m = 1; m <= headers.size(); ++m) listing += std::to_string(m) + " 100\r\n";
    return {listing + ".\r\n"};
  }
  if (command.starts_with("LIST ") && exists) return {list(n)};
  if (command.starts_with("TOP ") && exists) return {top(headers[n - 1])};
  if (command.starts_with("DELE ") && exists) return {"+OK\r\n"};
  if (command.starts_with("RETR ") && exists) {
    return {"+OK\r\n" + headers[n - 1] + "\r\nbody\r\n..dotted\r\n.\r\n"};
  }
  return {"-ERR no\r\n"};
}

// One scan of a scripted mailbox: the deny rule "^Subject: cheap", a fresh filter.
class Scan {
 public:
  explicit Scan(int verbose = 3) : log_(verbose) {
    FilterEngine::instance().resetForTesting();
    Settings::instance().addDeny("DENY", "=", "^Subject: cheap");
    if (compileRules() != 0) ADD_FAILURE() << "rules";
    pop3_.setConnection(&socket_);
  }
  FakeServer& server() { return *server_; }
  // The server of a mailbox of these headers (STAT included).
  void serve(const std::vector<std::string>& headers, const std::string& capa = kCapaPipelining) {
    server_->answerWith([headers, capa](const std::string& command) {
      if (command == "STAT\r\n") return std::vector<std::string>{number(headers.size(), "+OK ") + " 0\r\n"};
      return mailbox(headers, capa, command);
    });
  }
  int run() { return pop3_.scan(); }
  POP3& pop3() { return pop3_; }
  Lines errors() const { return log_.linesStartingWith("Error: "); }
  Lines lines() const { return log_.lines(); }
  // The commands as written, without their line ends.
  Lines written() const {
    Lines commands;
    for (const std::string& text : server_->written()) commands.push_back(text.substr(0, text.size() - 2));
    return commands;
  }
  // The most commands that were ever unanswered, when each reply came in one piece.
  size_t mostInFlight() const {
    size_t most = 0;
    const std::vector<size_t>& at = server_->writtenAtReceive();
    for (size_t reply = 0; reply < at.size(); ++reply) most = std::max(most, at[reply] - reply);
    return most;
  }

 private:
  LogCapture log_;
  std::shared_ptr<FakeServer> server_ = std::make_shared<FakeServer>();
  Socket socket_{std::make_unique<FakeTransport>(server_), 5};
  POP3 pop3_;
};

TEST(Pop3PipelineTest, CapabilitiesChooseTheWindow) {
  const Lines pipelined = {"STAT",   "CAPA",    "LIST 1", "TOP 1 0", "LIST 2",
                           "TOP 2 0", "LIST 3", "TOP 3 0", "DELE 2"};
  // One command at a time every size comes from one LIST, and each message costs TOP n 0.
  const Lines one_at_a_time = {"STAT", "CAPA", "LIST", "TOP 1 0", "TOP 2 0", "DELE 2", "TOP 3 0"};
  struct Case {
    const char* name;
    std::string capa;
    const Lines& dialogue;
    size_t in_flight;
  };
  const Case cases[] = {
      {"PIPELINING offered", kCapaPipelining, pipelined, 6},
      {"in lower case, after other words", "+OK\r\nSASL PLAIN\r\npipelining\r\n.\r\n", pipelined, 6},
      {"not offered", kCapaPlain, one_at_a_time, 1},
      {"only a longer word", "+OK\r\nX-PIPELINING\r\nTOP PIPELINING\r\n.\r\n", one_at_a_time, 1},
      {"CAPA refused", "-ERR unknown command\r\n", one_at_a_time, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scan scan;
    scan.serve({wanted(1), spam(2), wanted(3)}, c.capa);
    EXPECT_EQ(scan.run(), 0);
    EXPECT_EQ(scan.written(), c.dialogue);
    EXPECT_EQ(scan.mostInFlight(), c.in_flight);
    EXPECT_EQ(scan.errors(), Lines{});
    EXPECT_EQ(scan.pop3().tally().deleted, 1);
    EXPECT_EQ(scan.pop3().tally().marked, 1);
  }
}

TEST(Pop3PipelineTest, TheWindowHoldsAHundredCommands) {
  for (const auto& [count, in_flight] : {std::pair{250, 100u}, std::pair{3, 6u}}) {
    SCOPED_TRACE(count);
    Scan scan;
    std::vector<std::string> headers;
    for (int n = 1; n <= count; ++n) headers.push_back(wanted(n));
    scan.serve(headers);
    EXPECT_EQ(scan.run(), 0);
    EXPECT_EQ(scan.written().size(), 2u + 2u * static_cast<size_t>(count));
    EXPECT_EQ(scan.mostInFlight(), in_flight);
  }
}

TEST(Pop3PipelineTest, RepliesAlreadyHereAreTakenBeforeTheWindowIsFilledAgain) {
  // 120 messages, every third spam, from a server whose replies arrive together as a socket
  // gives them: below verbosity 6 the window is filled again only once no whole reply is left
  // to read, so a write carries many commands; at verbosity 6 it is filled again after every
  // reply, as the trace then shows. Both send the same commands and judge alike.
  constexpr int kCount = 120;
  std::vector<std::string> headers;
  for (int n = 1; n <= kCount; ++n) headers.push_back(n % 3 ? wanted(n) : spam(n));
  Lines verdicts[2];
  Lines commands[2];
  size_t writes[2] = {0, 0};
  const int levels[] = {5, 6};
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(levels[k]);
    Scan scan(levels[k]);
    scan.serve(headers);
    scan.server().joinChunks();
    ASSERT_EQ(scan.run(), 0);
    EXPECT_EQ(scan.pop3().tally().deleted, kCount / 3);
    for (const std::string& line : scan.lines()) {
      // The trace's lines, and the reply lines it shows, are left out.
      if (line.starts_with("pollensift: ") && !line.starts_with("pollensift: Debugging:")) {
        verdicts[k].push_back(line);
      }
    }
    commands[k] = scan.written();
    // The DELEs may go out at other moments; the rest in the same order.
    std::stable_partition(commands[k].begin(), commands[k].end(),
                          [](const std::string& command) { return !command.starts_with("DELE"); });
    writes[k] = scan.server().writes();
  }
  EXPECT_EQ(verdicts[0], verdicts[1]);
  EXPECT_EQ(commands[0], commands[1]);
  EXPECT_EQ(commands[0].size(), 2u + 2u * kCount + kCount / 3);
  // STAT, CAPA and 280 commands: at verbosity 6 the first 100 in one write, then one write
  // after nearly every reply; below it a few dozen writes.
  EXPECT_GT(writes[1], 150u);
  EXPECT_LT(writes[0], 40u) << writes[0];
}

// An account checked while the accounts before it still judge (accounts at once, with
// DEL_DUPLICATES) reads ahead; once every message is read it gives the Message-IDs its judging
// will add, before it judges, so the accounts after it need not wait for that judging. They must
// be exactly those: an ID too many would make a later account's message a duplicate.
TEST(Pop3PipelineTest, AnAccountThatReadsAheadGivesTheIdsItsJudgingWillAdd) {
  auto with_id = [](int n) {
    return "From: ann@example.org\r\nSubject: minutes\r\nMessage-ID: <" + std::to_string(n) +
           "@x>\r\n";
  };
  struct Case {
    const char* name;
    std::optional<int> cut_short;  // the message whose header ends without its empty line
    std::vector<int> given;        // the IDs given ahead
    int deleted;
  };
  const Case cases[] = {
      // <1@x> again, and <9@x> from an earlier account: both duplicates.
      {"all read", std::nullopt, {1, 2, 9, 3}, 2},
      // Judging stops at message 3 (the duplicate), so message 4's ID is never added.
      {"message 3 out of step", 3, {1, 2}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scan scan;
    Settings::instance().setDelDuplicates("yes");
    const std::vector<std::string> headers = {with_id(1), with_id(2), with_id(1) + "X: a\r\n",
                                              with_id(9), with_id(3)};
    const std::optional<int> cut_short = c.cut_short;
    scan.server().answerWith([headers, cut_short](const std::string& command) {
      if (command == "STAT\r\n") return std::vector<std::string>{"+OK 5 500\r\n"};
      if (cut_short && command == number(*cut_short, "TOP ") + " 0\r\n") {
        return std::vector<std::string>{"+OK\r\n" + headers[*cut_short - 1] + ".\r\n"};
      }
      return mailbox(headers, kCapaPipelining, command);
    });
    FilterEngine& engine = FilterEngine::instance();
    bool turn = false;
    bool judged_before_given = false;
    std::string given;
    engine.beforeSeenUse(
        [&] {
          SeenIds earlier;
          earlier.insert(SeenIds::key("<9@x>"));
          engine.addSeen(earlier.packed());
          judged_before_given = given.empty();
        },
        [&] { return turn; });
    engine.onSeenSettled([&](const std::string& packed) {
      given = packed;
      turn = true;
    });
    scan.run();
    EXPECT_FALSE(judged_before_given);
    SeenIds expected;
    for (const int n : c.given) expected.insert(SeenIds::key("<" + std::to_string(n) + "@x>"));
    EXPECT_EQ(given, expected.packed());
    EXPECT_EQ(scan.pop3().tally().deleted, c.deleted);
    engine.resetForTesting();
  }
}

TEST(Pop3PipelineTest, AListReplyForAnotherMessageFailsTheScan) {
  for (const std::string& capa : {kCapaPipelining, kCapaPlain}) {
    SCOPED_TRACE(capa);
    Scan scan;
    FakeServer& server = scan.server();
    server.expect("STAT\r\n", {"+OK 2\r\n"});
    server.expect("CAPA\r\n", {capa});
    // One command at a time, a server that refuses the listing of every size is asked LIST n.
    if (capa == kCapaPlain) server.expect("LIST\r\n", {"-ERR no\r\n"});
    server.expect("LIST 1\r\n", {list(1)});
    server.expect("TOP 1 0\r\n", {top(spam(1))});
    if (capa == kCapaPlain) server.expect("DELE 1\r\n", {"+OK\r\n"});
    server.expect("LIST 2\r\n", {list(3)});  // the wrong message
    if (capa == kCapaPipelining) server.expect("TOP 2 0\r\n", {top(wanted(2))});
    if (capa == kCapaPipelining) server.expect("DELE 1\r\n", {"+OK\r\n"});
    EXPECT_EQ(scan.run(), -1);
    const Lines pipelined = {"STAT", "CAPA", "LIST 1", "TOP 1 0", "LIST 2", "TOP 2 0", "DELE 1"};
    const Lines plain = {"STAT", "CAPA", "LIST", "LIST 1", "TOP 1 0", "DELE 1", "LIST 2"};
    EXPECT_EQ(scan.written(), capa == kCapaPipelining ? pipelined : plain);
    EXPECT_EQ(scan.errors(),
              (Lines{"pollensift: Error: The server's reply to LIST 2 cannot be read: \"+OK 3 100\".",
                     "pollensift: Error: Error occurred while sending LIST to server."}));
    EXPECT_EQ(scan.pop3().tally().marked, 1);
  }
}

// The replies of a pipelined scan of five messages (2 and 4 condemned), as one stream.
std::string pipelinedStream() {
  std::string stream = "+OK 5 500\r\n" + kCapaPipelining;
  for (int n = 1; n <= 5; ++n) stream += list(n) + top(n % 2 ? wanted(n) : spam(n));
  return stream + "+OK\r\n+OK\r\n";
}

TEST(Pop3PipelineTest, HoweverTheStreamIsCutTheScanIsTheSame) {
  Lines judged;  // every line at verbosity 5
  {
    // The plain dialogue is the reference: every size from one LIST, then TOP n 0 alone.
    Scan scan(5);
    Settings::instance().setPipelining("no");
    FakeServer& server = scan.server();
    server.expect("STAT\r\n", {"+OK 5 500\r\n"});
    server.expect("CAPA\r\n", {kCapaPlain});
    server.expect("LIST\r\n", {"+OK\r\n1 100\r\n2 100\r\n3 100\r\n4 100\r\n5 100\r\n.\r\n"});
    for (int n = 1; n <= 5; ++n) {
      server.expect(number(n, "TOP ") + " 0\r\n", {top(n % 2 ? wanted(n) : spam(n))});
      if (n % 2 == 0) server.expect(number(n, "DELE ") + "\r\n", {"+OK\r\n"});
    }
    ASSERT_EQ(scan.run(), 0);
    judged = scan.lines();
    ASSERT_EQ(judged.size(), 10u) << "a line naming each message and its verdict line";
    EXPECT_EQ(judged[2], "pollensift: Message 2 of 5, 100 octets:");
  }
  const std::string stream = pipelinedStream();
  std::vector<std::vector<std::string>> cuts;
  for (size_t at = 1; at < stream.size(); ++at) cuts.push_back(splitAt(stream, {at}));
  std::vector<size_t> every_byte;
  for (size_t at = 1; at < stream.size(); ++at) every_byte.push_back(at);
  cuts.push_back(splitAt(stream, every_byte));
  for (const std::vector<std::string>& chunks : cuts) {
    SCOPED_TRACE(chunks.front().size());
    Scan scan(5);
    scan.server().send(chunks);
    ASSERT_EQ(scan.run(), 0);
    EXPECT_EQ(scan.lines(), judged);
    EXPECT_EQ(scan.written(),
              (Lines{"STAT", "CAPA", "LIST 1", "TOP 1 0", "LIST 2", "TOP 2 0", "LIST 3", "TOP 3 0",
                     "LIST 4", "TOP 4 0", "LIST 5", "TOP 5 0", "DELE 2", "DELE 4"}));
  }
}

TEST(Pop3PipelineTest, AFailureInTheWindowDeletesNothingUnjudged) {
  const std::string head =
      "+OK 5 500\r\n" + kCapaPipelining + list(1) + top(spam(1)) + list(2) + top(spam(2)) + list(3);
  const std::string closed = "pollensift: Error: The server closed the connection.";
  const std::string top_failed = "pollensift: Error: Error occurred while sending TOP to server.";
  struct Case {
    const char* name;
    std::string rest;
    bool ends;
    Lines errors;
    // Whether the DELEs of messages 1 and 2 went out: they go with the next sending, which comes
    // only once the scan would wait for a reply, so not where the failing reply was there to read.
    bool deleted;
  };
  const Case cases[] = {
      {"silence after the third LIST", "", false,
       {"pollensift: Error: Connection has timed out.", top_failed}, true},
      {"closed after the third LIST", "", true, {closed, top_failed}, true},
      {"third TOP cut off", top(spam(3)).substr(0, 30), true,
       {"pollensift: Error: The server closed the connection in the middle of a reply.", top_failed},
       true},
      {"third TOP refused", "-ERR gone\r\n" + list(4) + top(spam(4)), false,
       {top_failed, "pollensift: Error: The server replied: -ERR gone"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scan scan;
    scan.server().send({head + c.rest});
    if (c.ends) scan.server().endStream();
    EXPECT_EQ(scan.run(), -1);
    EXPECT_EQ(scan.errors(), c.errors);
    // Messages 1 and 2 were judged in full and condemned; nothing after them is deleted.
    Lines written{"STAT",    "CAPA",   "LIST 1",  "TOP 1 0", "LIST 2",  "TOP 2 0",
                  "LIST 3",  "TOP 3 0", "LIST 4", "TOP 4 0", "LIST 5", "TOP 5 0"};
    if (c.deleted) written.insert(written.end(), {"DELE 1", "DELE 2"});
    EXPECT_EQ(scan.written(), written);
    EXPECT_EQ(scan.pop3().tally().marked, c.deleted ? 2 : 0);
    // The session is withdrawn: RSET goes out and nothing is read for it.
    const size_t reads = scan.server().waits().size();
    scan.pop3().withdraw();
    EXPECT_EQ(scan.written().back(), "RSET");
    EXPECT_EQ(scan.server().waits().size(), reads);
  }
}

TEST(Pop3PipelineTest, ARefusedDeleFailsTheScanAndIsNotCounted) {
  for (const char* refusal : {"-ERR no\r\n", "-ERR\r\n"}) {
    Scan scan;
    scan.server().send({"+OK 3\r\n" + kCapaPipelining + list(1) + top(spam(1)) + list(2) +
                        top(spam(2)) + list(3) + top(spam(3)) + "+OK\r\n" + refusal + "+OK\r\n"});
    EXPECT_EQ(scan.run(), -1);
    EXPECT_EQ(scan.written(), (Lines{"STAT", "CAPA", "LIST 1", "TOP 1 0", "LIST 2", "TOP 2 0",
                                     "LIST 3", "TOP 3 0", "DELE 1", "DELE 2", "DELE 3"}));
    EXPECT_EQ(scan.errors(), Lines{std::string(refusal) == "-ERR\r\n"
                                       ? "pollensift: Error: The server refused to delete message 2."
                                       : "pollensift: Error: The server refused to delete message 2: "
                                         "-ERR no"});
    EXPECT_EQ(scan.pop3().tally().deleted, 1);
    EXPECT_EQ(scan.pop3().tally().marked, 3);
  }
}

TEST(Pop3PipelineTest, TestModeSendsNoDele) {
  Scan scan;
  Settings::instance().setTest("yes");
  scan.serve({spam(1), spam(2)});
  EXPECT_EQ(scan.run(), 0);
  EXPECT_EQ(scan.written(), (Lines{"STAT", "CAPA", "LIST 1", "TOP 1 0", "LIST 2", "TOP 2 0"}));
  EXPECT_EQ(scan.pop3().tally().deleted, 2);
  EXPECT_EQ(scan.pop3().tally().marked, 0);
}

TEST(Pop3PipelineTest, CapaOrListThatNeverComesFailsTheScan) {
  struct Case {
    std::string replies;
    Lines errors;
  };
  const Case cases[] = {
      {"+OK 2\r\n", {"pollensift: Error: The server closed the connection.",
                     "pollensift: Error: Error occurred while sending CAPA to server."}},
      {"+OK 2\r\n" + kCapaPipelining + "+OK 1 5",
       {"pollensift: Error: The server closed the connection in the middle of a reply.",
        "pollensift: Error: Error occurred while sending LIST to server."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.replies);
    Scan scan;
    scan.server().send({c.replies});
    scan.server().endStream();
    EXPECT_EQ(scan.run(), -1);
    EXPECT_EQ(scan.errors(), c.errors);
  }
}

// A mailbox of six, only message 4 spam: however the reply stream slips, the scan fails, in the
// pipelined and in the plain dialogue. A DELE goes out for message 4 at most, or for message 3
// when it was judged on message 4's header; the account check then withdraws it.
TEST(Pop3PipelineTest, AReplyStreamThatSlipsFailsTheScan) {
  const std::vector<std::string> headers = {wanted(1), wanted(2), wanted(3),
                                            spam(4),   wanted(5), wanted(6)};
  const std::string unstuffed =  // message 2 as a server that does not dot-stuff sends it
      "+OK\r\n" + wanted(2) + ".\r\n" + list(3) + "+OK\r\nSubject: cheap pills\r\n\r\n.\r\n";
  const std::string out_of_step =
      "pollensift: Error: The server's reply to LIST 3 cannot be read: \"+OK 4 100\".";
  const std::string list_failed = "pollensift: Error: Error occurred while sending LIST to server.";
  const std::string top_failed = "pollensift: Error: Error occurred while sending TOP to server.";
  const std::string timed_out = "pollensift: Error: Connection has timed out.";
  const std::string cut_short =
      "pollensift: Error: The header of message 2 has no empty line, yet is shorter than the "
      "message's 100 octets: the replies are out of step.";
  struct Case {
    const char* name;
    // How the server answers TOP 2, 3 and 4; nullopt: as it should.
    std::function<std::optional<std::string>(int)> top_reply;
    Lines pipelined_errors;
    Lines plain_errors;
  };
  const Case cases[] = {
      {"TOP 2 without its final line",
       [](int n) { return n == 2 ? std::optional(top(wanted(2)).substr(0, top(wanted(2)).size() - 3)) : std::nullopt; },
       {out_of_step, list_failed}, {timed_out, top_failed}},
      {"no reply to TOP 2", [](int n) { return n == 2 ? std::optional(std::string()) : std::nullopt; },
       {"pollensift: Error: The server's reply to LIST 3 cannot be read: \"+OK 4 100\".", list_failed},
       {timed_out, top_failed}},
      {"the reply to TOP 3 after the one to TOP 4",
       [](int n) -> std::optional<std::string> {
         if (n == 3) return std::string();
         if (n == 4) return top(spam(4)) + top(wanted(3));
         return std::nullopt;
       },
       {"pollensift: Error: The server's reply to LIST 4 cannot be read: \"+OK\".", list_failed},
       {timed_out, top_failed}},
      {"a header line \".\" that is not dot-stuffed",
       [&unstuffed](int n) { return n == 2 ? std::optional(unstuffed) : std::nullopt; },
       {cut_short}, {cut_short}},
  };
  for (const Case& c : cases) {
    for (const std::string& capa : {kCapaPipelining, kCapaPlain}) {
      SCOPED_TRACE(std::string(c.name) + (capa == kCapaPipelining ? ", pipelined" : ", plain"));
      Scan scan;
      Settings::instance().addDeny("DENY", "=", "^Subject:.*cheap");
      ASSERT_EQ(compileRules(), 0);
      scan.server().answerWith([&](const std::string& command) {
        if (command == "STAT\r\n") return std::vector<std::string>{"+OK 6 600\r\n"};
        int n = 0;
        if (std::sscanf(command.c_str(), "TOP %d", &n) == 1) {
          if (const std::optional<std::string> reply = c.top_reply(n)) {
            // No chunk at all for no reply: an empty one reads as the end of the stream.
            return reply->empty() ? std::vector<std::string>{} : std::vector<std::string>{*reply};
          }
        }
        return mailbox(headers, capa, command);
      });
      EXPECT_EQ(scan.run(), -1);
      EXPECT_EQ(scan.errors(), capa == kCapaPipelining ? c.pipelined_errors : c.plain_errors);
      for (const std::string& command : scan.written()) {
        EXPECT_TRUE(!command.starts_with("DELE") || command == "DELE 4" || command == "DELE 3")
            << command;
      }
    }
  }
}

TEST(Pop3PipelineTest, MoreThanTheRepliesFailsTheScan) {
  Scan scan;
  scan.server().send({"+OK 1\r\n" + kCapaPipelining + list(1) + top(spam(1)) + "+OK\r\n+OK\r\n"});
  EXPECT_EQ(scan.run(), -1);
  EXPECT_EQ(scan.errors(), Lines{"pollensift: Error: The server sent more than its replies to the "
                                 "commands: the replies are out of step."});
}

// A server that ignores TOP's line count sends the body too; the header ends at its first empty
// line, and a forwarded message's header in the body is not judged.
TEST(Pop3PipelineTest, WhatFollowsTheHeadersEmptyLineIsNotJudged) {
  for (const char* blank : {"\r\n", "\n"}) {
    Scan scan(5);
    const std::string body = std::string(blank) + "---- Forwarded ----\r\nSubject: cheap pills\r\n\r\n";
    scan.server().send({"+OK 1\r\n" + kCapaPipelining + list(1) + "+OK\r\n" + wanted(1) + body +
                        ".\r\n"});
    EXPECT_EQ(scan.run(), 0);
    EXPECT_EQ(scan.errors(), Lines{});
    EXPECT_EQ(scan.pop3().tally().deleted, 0);
    EXPECT_EQ(scan.lines().back(), "pollensift: Pass: ann@example.org: minutes 1,  [Score: 0].");
  }
}

// With QUARANTINE, a condemned message is fetched whole and stored before its DELE goes out; when
// it cannot be stored, it stays and the scan goes on; when its reply does not come, the scan fails.
TEST(Pop3PipelineTest, ACondemnedMessageIsQuarantinedBeforeItsDele) {
  namespace fs = std::filesystem;
  const fs::path root =
      fs::temp_directory_path() / ("pollensift-scan-quarantine-" + std::to_string(::getpid()));
  struct Case {
    const char* name;
    const char* capa;
    std::optional<std::string> retr_reply;  // instead of the message
    bool unusable;                          // the quarantine's path is a file
    int result;
    Lines tail;  // the commands from the RETR on (or from the last TOP)
    Lines errors;
    bool huge = false;  // message 2 is listed at 2,000,000,000 octets
    int listed = 100;   // message 2's listed size
    std::string body = "body\n.dotted\n";  // what the stored copy holds after its header
    bool flush_fails = false;    // flushing new/ after the rename fails
    bool stored_before = false;  // a run before stored it, and stopped before its DELE
    bool write_fails = false;    // files may grow to 64 KiB only (a full disk, a quota)
  };
  const std::string another = "pollensift: Error: Message 2 could not be quarantined: The "
                              "server's copy (RETR) has another header than the one judged (TOP). "
                              "It stays on the server.";
  const std::string stays = "pollensift: Error: Message 2 is not quarantined and stays on the server.";
  const Case cases[] = {
      {"pipelined", kCapaPipelining.c_str(), std::nullopt, false, 0, {"RETR 2", "DELE 2"}, {}},
      {"one at a time", kCapaPlain.c_str(), std::nullopt, false, 0,
       {"RETR 2", "DELE 2", "TOP 3 0"}, {}},
      {"RETR refused", kCapaPipelining.c_str(), "-ERR [SYS/TEMP] later\r\n", false, 0, {"RETR 2"},
       {"pollensift: Error: The server refused RETR 2: -ERR [SYS/TEMP] later", stays}},
      {"RETR cut off", kCapaPipelining.c_str(), "+OK\r\nSubject: half", false, -1, {"RETR 2"},
       {"pollensift: Error: Connection has timed out.",
        "pollensift: Error: Error occurred while sending RETR to server."}},
      {"quarantine unusable", kCapaPipelining.c_str(), std::nullopt, true, 0, {"TOP 3 0"},
       {"pollensift: Error: The quarantine cannot be used: '" + (root / "q" / "tmp").string() +
        "' is not a directory. No message of this account is deleted."}},
      {"larger than a message can be", kCapaPipelining.c_str(), std::nullopt, false, 0, {"TOP 3 0"},
       {"pollensift: Error: Message 2 is larger than 1073741824 bytes, so it is not quarantined "
        "and stays on the server."},
       true},
      {"RETR gives another message", kCapaPipelining.c_str(),
       "+OK\r\n" + wanted(3) + "\r\nbody\r\n.\r\n", false, 0, {"RETR 2"}, {another}},
      {"RETR gives an empty message", kCapaPipelining.c_str(), "+OK\r\n.\r\n", false, 0,
       {"RETR 2"}, {another}},
      {"RETR gives the header alone", kCapaPipelining.c_str(), "+OK\r\n" + spam(2) + "\r\n.\r\n",
       false, 0, {"RETR 2"},
       {"pollensift: Error: Message 2 could not be quarantined: The server's copy (RETR) is " +
        std::to_string(spam(2).size() + 2) + " octets long where LIST said 5000. It stays on the "
        "server."},
       false, 5000},
      {"RETR far longer than listed", kCapaPipelining.c_str(),
       "+OK\r\n" + spam(2) + "\r\n" + std::string(100000, 'x') + "\r\n.\r\n", false, -1,
       {"RETR 2"},
       {"pollensift: Error: The server's reply is longer than 65700 bytes.",
        "pollensift: Error: Error occurred while sending RETR to server."}},
      {"a lone dot ended by a bare LF", kCapaPipelining.c_str(),
       "+OK\r\n" + spam(2) + "\r\nbody\n.\nmore\r\n.\r\n", false, 0, {"RETR 2", "DELE 2"}, {},
       false, 100, "body\n.\nmore\n"},
      {"flushing new/ fails", kCapaPipelining.c_str(), std::nullopt, false, 0, {"RETR 2"},
       {"pollensift: Error: Message 2 could not be quarantined: Flushing '" +
        (root / "q" / "new").string() + "' failed: Input/output error. It stays on the server."},
       false, 100, "body\n.dotted\n", true},
      {"stored by a run that stopped", kCapaPipelining.c_str(), std::nullopt, false, 0,
       {"DELE 2"}, {}, false, 100, "body\n.dotted\n", false, true},
      // The file's failure is the reason given, though the copy is then cut short.
      {"the file cannot be written", kCapaPipelining.c_str(),
       "+OK\r\n" + spam(2) + "\r\n" + [] {
         std::string body;
         for (int line = 0; line < 100; ++line) body += std::string(998, 'b') + "\r\n";
         return body;
       }() + ".\r\n",
       false, 0, {"RETR 2"}, {"pollensift: Error: Message 2 could not be quarantined: Writing '"},
       false, 100100, "", false, false, true},
  };
  // Fails the flush of a directory, as a crash between the rename and the flush would lose it.
  const Quarantine::Sync failing_on_directories = [](int fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
      errno = EIO;
      return -1;
    }
    return ::fsync(fd);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root);
    fs::create_directories(root / "q");
    if (c.unusable) std::ofstream(root / "q" / "tmp") << "x";
    const std::vector<std::string> headers = {wanted(1), spam(2), wanted(3)};
    const std::string capa = c.capa;
    const std::optional<std::string> retr = c.retr_reply;
    auto answer = [&](const std::string& command) {
      if (command == "STAT\r\n") return std::vector<std::string>{"+OK 3 300\r\n"};
      if (command == "RETR 2\r\n" && retr) return std::vector<std::string>{*retr};
      if (command == "LIST 2\r\n") {
        return std::vector<std::string>{list(2, c.huge ? 2000000000 : c.listed)};
      }
      return mailbox(headers, capa, command);
    };
    if (c.stored_before) {
      Scan before;
      Settings::instance().setQuarantine((root / "q").string());
      before.pop3().setLoginOptions({"", "pop.example.org", 110, "jo"});
      before.server().answerWith(answer);
      Quarantine::setSyncForTesting(failing_on_directories);
      EXPECT_EQ(before.run(), 0);
      Quarantine::setSyncForTesting(nullptr);
      ASSERT_EQ(before.pop3().tally().deleted, 0);
    }
    Scan scan;
    Settings::instance().setQuarantine((root / "q").string());
    scan.pop3().setLoginOptions({"", "pop.example.org", 110, "jo"});
    scan.server().answerWith(answer);
    if (c.flush_fails) Quarantine::setSyncForTesting(failing_on_directories);
    rlimit before_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before_limit), 0);
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    if (c.write_fails) {
      rlimit small = before_limit;
      small.rlim_cur = 64 << 10;  // more than the log takes, less than the message
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    EXPECT_EQ(scan.run(), c.result);
    ::setrlimit(RLIMIT_FSIZE, &before_limit);
    ::signal(SIGXFSZ, old_handler);
    Quarantine::setSyncForTesting(nullptr);
    const Lines written = scan.written();
    EXPECT_EQ(Lines(written.end() - static_cast<long>(c.tail.size()), written.end()), c.tail);
    if (c.write_fails) {
      // The file's name is unique to the run: its start and the reason's end are compared.
      const Lines errors = scan.errors();
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_TRUE(errors[0].starts_with(c.errors[0] + (root / "q" / "tmp").string() + "/"))
          << errors[0];
      EXPECT_TRUE(errors[0].ends_with("' failed: File too large. It stays on the server."))
          << errors[0];
    } else {
      EXPECT_EQ(scan.errors(), c.errors);
    }
    const Protocol::Tally& tally = scan.pop3().tally();
    const bool stored = c.result == 0 && c.errors.empty() && !c.write_fails;
    EXPECT_EQ(tally.quarantined, stored ? 1 : 0);
    EXPECT_EQ(tally.deleted, stored ? 1 : 0);
    EXPECT_EQ(tally.unstored, c.result == 0 && !stored ? 1 : 0);
    std::vector<fs::path> held;
    if (!c.unusable) {
      for (const auto& entry : fs::directory_iterator(root / "q" / "new")) held.push_back(entry.path());
      EXPECT_TRUE(fs::is_empty(root / "q" / "tmp"));
    }
    if (c.stored_before) {
      const Lines sent = scan.written();
      EXPECT_EQ(std::count(sent.begin(), sent.end(), "RETR 2"), 0);
    }
    // A copy whose new/ could not be flushed is there, but gets no DELE.
    ASSERT_EQ(held.size(), stored || c.flush_fails ? 1u : 0u);
    if (stored) {
      std::ifstream in(held[0], std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::string first = text.substr(0, text.find('\n') + 1);
      EXPECT_TRUE(first.starts_with("X-Pollensift-Verdict: \"^Subject: cheap\" matches \"Subject: "
                                    "cheap pills\" (jo@pop.example.org, "))
          << first;
      EXPECT_EQ(text.substr(first.size()),
                "From: x@spam.example\nSubject: cheap pills\nMessage-ID: <2@spam.example>\n\n" +
                    c.body);
    }
  }
  fs::remove_all(root);
}

// With the state file, whether a remembered message is a duplicate depends on every message
// before it, so it is decided only once they are all judged, even with their commands in flight:
// the DELE is the one a full run sends, for the later copy.
TEST(Pop3PipelineTest, ARememberedMessageWaitsForEveryMessageBeforeIt) {
  const std::string copy = "From: ann@example.org\r\nSubject: again\r\nMessage-ID: <1@example.org>\r\n";
  for (const bool remembered : {false, true}) {
    SCOPED_TRACE(remembered ? "message 3 remembered" : "a full run");
    Scan scan;
    Settings::instance().setDelDuplicates("yes");
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("pollensift-pipeline-state-" + std::to_string(::getpid()));
    std::filesystem::remove(path);
    const std::string account = UidlState::accountKey("pop.example.org", 110, "jo");
    {
      std::ofstream file(path, std::ios::binary);
      UidlState::Contents contents;
      contents[account] = {verdictFingerprint(), {{"u3", FilterEngine::seenKey("<1@example.org>")}}};
      file << UidlState::format(contents);
    }
    UidlState state(path.string());
    ASSERT_TRUE(state.load(account, verdictFingerprint()));
    const std::unique_ptr<IncrementalScan> known = IncrementalScan::over(state);
    if (remembered) scan.pop3().setIncremental(known.get());
    scan.server().expect("STAT\r\n", {"+OK 3 300\r\n"});
    if (remembered) scan.server().expect("UIDL\r\n", {"+OK\r\n1 u1\r\n2 u2\r\n3 u3\r\n.\r\n"});
    scan.serve({wanted(1), wanted(2), copy});
    EXPECT_EQ(scan.run(), 0);
    scan.pop3().setIncremental(nullptr);
    const Lines written = scan.written();
    EXPECT_EQ(Lines(written.end() - 3, written.end()), (Lines{"LIST 3", "TOP 3 0", "DELE 3"}));
    EXPECT_EQ(std::count(written.begin(), written.end(), "DELE 1"), 0);
    std::filesystem::remove(path);
    std::filesystem::remove(path.string() + ".lock");
  }
}

// With the state file, a server that listed PIPELINING before the login gets UIDL with the first
// STAT, and the scan asks neither again, nor CAPA; one that did not gets the dialogue of old.
TEST(Pop3PipelineTest, WithTheStateFileUidlGoesWithStat) {
  for (const bool offered : {true, false}) {
    SCOPED_TRACE(offered ? "PIPELINING listed" : "not listed");
    Scan scan;
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("pollensift-pipeline-uidl-" + std::to_string(::getpid()));
    std::filesystem::remove(path);
    UidlState state(path.string());
    ASSERT_TRUE(state.load(UidlState::accountKey("pop.example.org", 110, "jo"), verdictFingerprint()));
    const std::unique_ptr<IncrementalScan> known = IncrementalScan::over(state);
    scan.pop3().setIncremental(known.get());
    scan.server().send({"+OK ready\r\n"});
    scan.server().expect("USER jo\r\n", {"+OK\r\n"});
    scan.server().expect("PASS pw\r\n", {"+OK\r\n"});
    scan.server().expect("STAT\r\n", {"+OK 2 200\r\n"});
    scan.server().expect("UIDL\r\n", {"+OK\r\n1 u1\r\n2 u2\r\n.\r\n"});
    scan.serve({wanted(1), spam(2)}, offered ? "+OK\r\nUSER\r\nPIPELINING\r\n.\r\n" : kCapaPlain);
    ASSERT_TRUE(scan.pop3().login("jo", "pw"));
    EXPECT_EQ(scan.pop3().status(), 2);
    EXPECT_EQ(scan.run(), 0);
    scan.pop3().setIncremental(nullptr);
    EXPECT_EQ(scan.errors(), Lines{});
    // CAPA after the login only once the scan knows a message is to be fetched; one command at
    // a time every size comes from one LIST.
    const Lines window = offered ? Lines{"LIST 1", "TOP 1 0", "LIST 2", "TOP 2 0", "DELE 2"}
                                 : Lines{"LIST", "TOP 1 0", "TOP 2 0", "DELE 2"};
    Lines expected = {"CAPA", "USER jo", "PASS pw", "STAT", "UIDL", "CAPA"};
    expected.insert(expected.end(), window.begin(), window.end());
    EXPECT_EQ(scan.written(), expected);
    // CAPA, USER and PASS, STAT and UIDL, CAPA, the window, DELE; or every command alone.
    EXPECT_EQ(scan.server().writes(), offered ? 6u : 10u);
    std::filesystem::remove(path);
    std::filesystem::remove(path.string() + ".lock");
  }
}

// The level-6 trace of a log: one entry per line that starts with "pollensift: ", with the lines
// that continue it (those of a multi-line reply) joined to it.
Lines traceEntries(const Lines& log) {
  const std::string prefix = "pollensift: ";
  Lines entries;
  for (const std::string& line : log) {
    if (line.starts_with(prefix) || entries.empty()) {
      entries.push_back(line.starts_with(prefix) ? line.substr(prefix.size()) : line);
    } else {
      entries.back() += "\n" + line;
    }
  }
  return entries;
}

// How the trace shows a reply read: its lines without their CR LF ends.
std::string shown(const std::string& reply) {
  std::string text = "Debugging: Read: ";
  for (size_t at = 0; at < reply.size(); ++at) {
    if (reply.compare(at, 2, "\r\n") == 0) {
      if (at + 2 < reply.size()) text += '\n';
      ++at;
    } else {
      text += reply[at];
    }
  }
  return text;
}

TEST(Pop3PipelineTest, TheTraceShowsCommandsAndRepliesInTheOrderTheyHappened) {
  Scan scan(6);
  FakeServer& server = scan.server();
  server.expect("STAT\r\n", {"+OK 3 300\r\n"});
  server.expect("CAPA\r\n", {kCapaPipelining});
  for (int n = 1; n <= 3; ++n) {
    server.expect(number(n, "LIST ") + "\r\n", {list(n)});
    server.expect(number(n, "TOP ") + " 0\r\n", {top(n == 2 ? spam(n) : wanted(n))});
  }
  server.expect("DELE 2\r\n", {"+OK\r\n"});
  ASSERT_EQ(scan.run(), 0);
  // The commands go out, in one write, before the first of their replies is read; message 2's
  // DELE after its verdict and before message 3's replies are read.
  EXPECT_EQ(traceEntries(scan.lines()),
            (Lines{"Debugging: Wrote: STAT", shown("+OK 3 300\r\n"), "Debugging: Wrote: CAPA",
                   shown(kCapaPipelining), "Debugging: Wrote: LIST 1", "Debugging: Wrote: TOP 1 0",
                   "Debugging: Wrote: LIST 2", "Debugging: Wrote: TOP 2 0",
                   "Debugging: Wrote: LIST 3", "Debugging: Wrote: TOP 3 0", shown(list(1)),
                   shown(top(wanted(1))), "Message 1 of 3, 100 octets:",
                   "Pass: ann@example.org: minutes 1,  [Score: 0].", shown(list(2)),
                   shown(top(spam(2))), "Message 2 of 3, 100 octets:",
                   "Deny: x@spam.example: cheap pills,  [\"^Subject: cheap\" matches \"Subject: "
                   "cheap pills\"].",
                   "Debugging: Wrote: DELE 2", shown(list(3)), shown(top(wanted(3))),
                   "Message 3 of 3, 100 octets:",
                   "Pass: ann@example.org: minutes 3,  [Score: 0].", shown("+OK\r\n")}));
  EXPECT_EQ(scan.server().writes(), 4u) << "STAT, CAPA, the six in one write, DELE";
}

TEST(Pop3PipelineTest, TheTraceOfALongScanMissesNothingAndKeepsTheOrder) {
  constexpr int kMessages = 250;
  for (const char* pipelining : {"yes", "no"}) {
    SCOPED_TRACE(pipelining);
    Scan scan(6);
    Settings::instance().setPipelining(pipelining);
    Lines replies;  // every reply, in the order the server sent them
    scan.server().answerWith([&replies](const std::string& command) {
      int n = 0;
      std::string reply = "+OK\r\n";
      if (command == "STAT\r\n") {
        reply = "+OK " + std::to_string(kMessages) + "\r\n";
      } else if (command == "CAPA\r\n") {
        reply = kCapaPipelining;
      } else if (command == "LIST\r\n") {
        reply = "+OK\r\n";
        for (int m = 1; m <= kMessages; ++m) reply += std::to_string(m) + " 100\r\n";
        reply += ".\r\n";
      } else if (std::sscanf(command.c_str(), "LIST %d", &n) == 1) {
        reply = number(n, "+OK ") + " 100\r\n";
      } else if (std::sscanf(command.c_str(), "TOP %d", &n) == 1) {
        reply = top(n % 3 == 0 ? spam(n) : wanted(n));
      }
      replies.push_back(reply);
      return std::vector<std::string>{reply};
    });
    ASSERT_EQ(scan.run(), 0);
    ASSERT_EQ(scan.mostInFlight(), pipelining == std::string("yes") ? 100u : 1u);

    Lines wrote;
    Lines read;
    std::vector<size_t> wrote_before_read;  // commands traced before each reply
    for (const std::string& entry : traceEntries(scan.lines())) {
      if (entry.starts_with("Debugging: Wrote: ")) {
        wrote.push_back(entry.substr(std::string("Debugging: Wrote: ").size()) + "\r\n");
      } else if (entry.starts_with("Debugging: Read: ")) {
        read.push_back(entry);
        wrote_before_read.push_back(wrote.size());
      }
    }
    EXPECT_EQ(wrote, scan.server().written());
    Lines sent;
    for (const std::string& reply : replies) sent.push_back(shown(reply));
    EXPECT_EQ(read, sent);
    // Each reply came in one piece, so the k-th read of the connection took the k-th reply: the
    // trace holds as many commands before each reply as had been written when it was read.
    EXPECT_EQ(wrote_before_read, scan.server().writtenAtReceive());
  }
}

}  // namespace
