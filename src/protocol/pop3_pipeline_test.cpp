// The scan where the server is asked for its capabilities and all sizes at once, and, when it
// offers PIPELINING, keeps a window of commands in flight.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "config/filter_rule.h"
#include "config/settings.h"
#include "filter/filter_engine.h"
#include "net/socket.h"
#include "net/test_support.h"
#include "protocol/pop3.h"

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
std::string listing(int count, int size = 100) {
  std::string text = "+OK " + std::to_string(count) + " messages\r\n";
  for (int n = 1; n <= count; ++n) text += std::to_string(n) + " " + std::to_string(size) + "\r\n";
  return text + ".\r\n";
}
std::string number(int n, const char* keyword) { return keyword + std::to_string(n); }

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
  const Lines pipelined = {"STAT", "CAPA", "LIST", "TOP 1 0", "TOP 2 0", "TOP 3 0", "DELE 2"};
  const Lines one_at_a_time = {"STAT", "CAPA", "LIST", "TOP 1 0", "TOP 2 0", "DELE 2", "TOP 3 0"};
  struct Case {
    const char* name;
    std::string capa;
    const Lines& dialogue;
    size_t in_flight;
  };
  const Case cases[] = {
      {"PIPELINING offered", kCapaPipelining, pipelined, 3},
      {"in lower case, after other words", "+OK\r\nSASL PLAIN\r\npipelining\r\n.\r\n", pipelined, 3},
      {"not offered", kCapaPlain, one_at_a_time, 1},
      {"only a longer word", "+OK\r\nX-PIPELINING\r\nTOP PIPELINING\r\n.\r\n", one_at_a_time, 1},
      {"CAPA refused", "-ERR unknown command\r\n", one_at_a_time, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scan scan;
    FakeServer& server = scan.server();
    server.expect("STAT\r\n", {"+OK 3 300\r\n"});
    server.expect("CAPA\r\n", {c.capa});
    server.expect("LIST\r\n", {listing(3)});
    for (const std::string& command : c.dialogue) {
      if (command.starts_with("TOP 1")) server.expect("TOP 1 0\r\n", {top(wanted(1))});
      if (command.starts_with("TOP 2")) server.expect("TOP 2 0\r\n", {top(spam(2))});
      if (command.starts_with("TOP 3")) server.expect("TOP 3 0\r\n", {top(wanted(3))});
      if (command == "DELE 2") server.expect("DELE 2\r\n", {"+OK\r\n"});
    }
    EXPECT_EQ(scan.run(), 0);
    EXPECT_EQ(scan.written(), c.dialogue);
    EXPECT_EQ(scan.mostInFlight(), c.in_flight);
    EXPECT_EQ(scan.errors(), Lines{});
  }
}

TEST(Pop3PipelineTest, TheWindowIsBoundedByCommandsAndByReplyBytes) {
  struct Case {
    int count;
    int size;
    size_t in_flight;
  };
  // 100 commands at most; 1 MiB of replies expected at most, a header being expected to take the
  // message's size up to 16 KiB (and 64 bytes more). Large messages do not shut the window.
  for (const Case& c : {Case{250, 2000, 100}, Case{100, 12000, 86}, Case{100, 300000, 63},
                        Case{3, 5000000, 3}}) {
    SCOPED_TRACE(c.count);
    Scan scan;
    FakeServer& server = scan.server();
    server.expect("STAT\r\n", {"+OK " + std::to_string(c.count) + "\r\n"});
    server.expect("CAPA\r\n", {kCapaPipelining});
    server.expect("LIST\r\n", {listing(c.count, c.size)});
    for (int n = 1; n <= c.count; ++n) {
      server.expect("TOP " + std::to_string(n) + " 0\r\n", {top(wanted(n))});
    }
    EXPECT_EQ(scan.run(), 0);
    EXPECT_EQ(scan.written().size(), 3u + static_cast<size_t>(c.count));
    EXPECT_EQ(scan.mostInFlight(), c.in_flight);
  }
}

TEST(Pop3PipelineTest, AListingThatCannotBeBelievedFailsTheScan) {
  const std::pair<std::string, std::string> cases[] = {
      {"1 10\r\n3 10\r\n", "The LIST reply does not list message 2."},
      {"1 10\r\n2 10\r\n", "The LIST reply does not list message 3."},
      {"1 10\r\n2 10\r\n1 10\r\n3 10\r\n", "The LIST reply lists message 1 twice."},
      {"1 10\r\n2 10\r\n3 10\r\n4 10\r\n", "The LIST reply lists message 4, but STAT counted 3."},
      {"1 10\r\n2 ten\r\n3 10\r\n", "The LIST reply has a line that cannot be read: \"2 ten\"."},
      {"1 10\r\n2\r\n3 10\r\n", "The LIST reply has a line that cannot be read: \"2\"."},
      {"1 10\r\n2 10\x1b\r\n3 10\r\n",
       "The LIST reply has a line that cannot be read: \"2 10\\x1b\"."},
  };
  for (const auto& [lines, fault] : cases) {
    SCOPED_TRACE(lines);
    Scan scan;
    scan.server().expect("STAT\r\n", {"+OK 3\r\n"});
    scan.server().expect("CAPA\r\n", {kCapaPipelining});
    scan.server().expect("LIST\r\n", {"+OK\r\n" + lines + ".\r\n"});
    EXPECT_EQ(scan.run(), -1);
    EXPECT_EQ(scan.written(), (Lines{"STAT", "CAPA", "LIST"}));
    EXPECT_EQ(scan.errors(), (Lines{"pollensift: Error: " + fault,
                                    "pollensift: Error: Error occurred while sending LIST to server."}));
  }
}

TEST(Pop3PipelineTest, AListingMayCarryMoreTextAndComeInAnyOrder) {
  Scan scan;
  Settings::instance().setMaxsizeDeny(1000);
  scan.server().expect("STAT\r\n", {"+OK 2\r\n"});
  scan.server().expect("CAPA\r\n", {kCapaPlain});
  scan.server().expect("LIST\r\n", {"+OK\r\n2 5000 octets\r\n1\t120 5000000\r\n.\r\n"});
  scan.server().expect("TOP 1 0\r\n", {top(wanted(1))});
  scan.server().expect("TOP 2 0\r\n", {top(wanted(2))});
  scan.server().expect("DELE 2\r\n", {"+OK\r\n"});
  EXPECT_EQ(scan.run(), 0);
  EXPECT_EQ(scan.written().back(), "DELE 2");
}

TEST(Pop3PipelineTest, ARefusedListAsksForEachSize) {
  for (const std::string& capa : {kCapaPipelining, kCapaPlain}) {
    SCOPED_TRACE(capa);
    Scan scan;
    FakeServer& server = scan.server();
    server.expect("STAT\r\n", {"+OK 2\r\n"});
    server.expect("CAPA\r\n", {capa});
    server.expect("LIST\r\n", {"-ERR give me a number\r\n"});
    server.expect("LIST 1\r\n", {"+OK 1 100\r\n"});
    server.expect("TOP 1 0\r\n", {top(spam(1))});
    if (capa == kCapaPlain) server.expect("DELE 1\r\n", {"+OK\r\n"});
    server.expect("LIST 2\r\n", {"+OK 3 100\r\n"});  // the wrong message
    if (capa == kCapaPipelining) server.expect("TOP 2 0\r\n", {top(wanted(2))});
    if (capa == kCapaPipelining) server.expect("DELE 1\r\n", {"+OK\r\n"});
    EXPECT_EQ(scan.run(), -1);
    const Lines pipelined = {"STAT", "CAPA", "LIST", "LIST 1", "TOP 1 0", "LIST 2", "TOP 2 0", "DELE 1"};
    const Lines plain = {"STAT", "CAPA", "LIST", "LIST 1", "TOP 1 0", "DELE 1", "LIST 2"};
    EXPECT_EQ(scan.written(), capa == kCapaPipelining ? pipelined : plain);
    EXPECT_EQ(scan.errors(),
              (Lines{"pollensift: Error: The server's reply to LIST 2 cannot be read: \"+OK 3 100\".",
                     "pollensift: Error: Error occurred while sending LIST to server."}));
  }
}

// The replies of a pipelined scan of five messages (2 and 4 condemned), as one stream.
std::string pipelinedStream() {
  return "+OK 5 500\r\n" + kCapaPipelining + listing(5) + top(wanted(1)) + top(spam(2)) +
         top(wanted(3)) + top(spam(4)) + top(wanted(5)) + "+OK\r\n+OK\r\n";
}

TEST(Pop3PipelineTest, HoweverTheStreamIsCutTheScanIsTheSame) {
  Lines judged;  // every line at verbosity 5
  {
    // The plain dialogue is the reference.
    Scan scan(5);
    Settings::instance().setPipelining("no");
    FakeServer& server = scan.server();
    server.expect("STAT\r\n", {"+OK 5 500\r\n"});
    for (int n = 1; n <= 5; ++n) {
      server.expect(number(n, "LIST ") + "\r\n", {number(n, "+OK ") + " 100\r\n"});
      server.expect(number(n, "TOP ") + " 0\r\n", {top(n % 2 ? wanted(n) : spam(n))});
      if (n % 2 == 0) server.expect(number(n, "DELE ") + "\r\n", {"+OK\r\n"});
    }
    ASSERT_EQ(scan.run(), 0);
    judged = scan.lines();
    ASSERT_EQ(judged.size(), 5u) << "a verdict line for every message";
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
    EXPECT_EQ(scan.written(), (Lines{"STAT", "CAPA", "LIST", "TOP 1 0", "TOP 2 0", "TOP 3 0",
                                     "TOP 4 0", "TOP 5 0", "DELE 2", "DELE 4"}));
  }
}

TEST(Pop3PipelineTest, AFailureInTheWindowDeletesNothingUnjudged) {
  const std::string head = "+OK 5 500\r\n" + kCapaPipelining + listing(5) + top(spam(1)) + top(spam(2));
  const std::string closed = "pollensift: Error: The server closed the connection.";
  const std::string top_failed = "pollensift: Error: Error occurred while sending TOP to server.";
  struct Case {
    const char* name;
    std::string rest;
    bool ends;
    Lines errors;
  };
  const Case cases[] = {
      {"silence after the second TOP", "", false,
       {"pollensift: Error: Connection has timed out.", top_failed}},
      {"closed after the second TOP", "", true, {closed, top_failed}},
      {"third TOP cut off", top(spam(3)).substr(0, 30), true,
       {"pollensift: Error: The server closed the connection in the middle of a reply.", top_failed}},
      {"third TOP refused", "-ERR gone\r\n" + top(spam(4)), false,
       {top_failed, "pollensift: Error: The server replied: -ERR gone"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scan scan;
    scan.server().send({head + c.rest});
    if (c.ends) scan.server().endStream();
    EXPECT_EQ(scan.run(), -1);
    EXPECT_EQ(scan.errors(), c.errors);
    // Messages 1 and 2 were judged in full and condemned; nothing after them is deleted.
    EXPECT_EQ(scan.written(), (Lines{"STAT", "CAPA", "LIST", "TOP 1 0", "TOP 2 0", "TOP 3 0",
                                     "TOP 4 0", "TOP 5 0", "DELE 1", "DELE 2"}));
    // Replies are still owed, so QUIT's could not be told apart: it is sent, not awaited.
    const size_t reads = scan.server().waits().size();
    EXPECT_TRUE(scan.pop3().quit());
    EXPECT_EQ(scan.server().waits().size(), reads);
  }
}

TEST(Pop3PipelineTest, ARefusedDeleLeavesItsMessageAndTheScanGoesOn) {
  Scan scan;
  scan.server().send({"+OK 3\r\n" + kCapaPipelining + listing(3) + top(spam(1)) + top(spam(2)) +
                      top(spam(3)) + "-ERR no\r\n+OK\r\n+OK\r\n"});
  EXPECT_EQ(scan.run(), 0);
  EXPECT_EQ(scan.written(), (Lines{"STAT", "CAPA", "LIST", "TOP 1 0", "TOP 2 0", "TOP 3 0",
                                   "DELE 1", "DELE 2", "DELE 3"}));
  EXPECT_EQ(scan.errors(), Lines{});
  // Every reply has been taken: QUIT's is the next one.
  scan.server().send({"+OK bye\r\n"});
  EXPECT_TRUE(scan.pop3().quit());
}

TEST(Pop3PipelineTest, TestModeSendsNoDele) {
  Scan scan;
  Settings::instance().setTest("yes");
  scan.server().send({"+OK 2\r\n" + kCapaPipelining + listing(2) + top(spam(1)) + top(spam(2))});
  EXPECT_EQ(scan.run(), 0);
  EXPECT_EQ(scan.written(), (Lines{"STAT", "CAPA", "LIST", "TOP 1 0", "TOP 2 0"}));
}

TEST(Pop3PipelineTest, CapaOrListThatNeverComesFailsTheScan) {
  struct Case {
    std::string replies;
    Lines errors;
  };
  const Case cases[] = {
      {"+OK 2\r\n", {"pollensift: Error: The server closed the connection.",
                     "pollensift: Error: Error occurred while sending CAPA to server."}},
      {"+OK 2\r\n" + kCapaPipelining + "+OK\r\n1 5\r\n",
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
  server.expect("LIST\r\n", {listing(3)});
  server.expect("TOP 1 0\r\n", {top(wanted(1))});
  server.expect("TOP 2 0\r\n", {top(spam(2))});
  server.expect("TOP 3 0\r\n", {top(wanted(3))});
  server.expect("DELE 2\r\n", {"+OK\r\n"});
  ASSERT_EQ(scan.run(), 0);
  // The TOP commands go out before the first of their replies is read; message 2's DELE after
  // its verdict and before message 3's reply is read.
  EXPECT_EQ(traceEntries(scan.lines()),
            (Lines{"Debugging: Wrote: STAT", shown("+OK 3 300\r\n"), "Debugging: Wrote: CAPA",
                   shown(kCapaPipelining), "Debugging: Wrote: LIST", shown(listing(3)),
                   "Debugging: Wrote: TOP 1 0", "Debugging: Wrote: TOP 2 0",
                   "Debugging: Wrote: TOP 3 0", shown(top(wanted(1))),
                   "Pass: ann@example.org: minutes 1,  [Score: 0].", shown(top(spam(2))),
                   "Deny: x@spam.example: cheap pills,  [\"^Subject: cheap\" matches \"Subject: "
                   "cheap pills\"].",
                   "Debugging: Wrote: DELE 2", shown(top(wanted(3))),
                   "Pass: ann@example.org: minutes 3,  [Score: 0].", shown("+OK\r\n")}));
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
        reply = listing(kMessages);
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
