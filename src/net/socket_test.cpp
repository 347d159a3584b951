#include "net/socket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/tcp_transport.h"
#include "net/test_support.h"

namespace {

using Lines = std::vector<std::string>;

class SocketTest : public ::testing::Test {
 protected:
  Socket& open(int timeout = 30) {
    socket_ = std::make_unique<Socket>(std::make_unique<FakeTransport>(server_), timeout);
    return *socket_;
  }

  LogCapture log_;
  std::shared_ptr<FakeServer> server_ = std::make_shared<FakeServer>();
  std::unique_ptr<Socket> socket_;
};

TEST_F(SocketTest, ReadsAReplySplitAtEveryPosition) {
  const std::string top = "+OK\r\nSubject: done.\r\n\r\n.\r\n";
  for (size_t split = 1; split < top.size(); ++split) {
    SCOPED_TRACE(split);
    server_ = std::make_shared<FakeServer>();
    server_->send(splitAt(top, {split}));
    Socket& socket = open();
    ASSERT_EQ(socket.readReply(true), static_cast<int>(top.size()));
    ASSERT_NE(socket.lastReply(), nullptr);
    EXPECT_EQ(*socket.lastReply(), top);
  }
}

// A whole message streamed to a sink: dot-unstuffed, LF line ends, a long line in pieces, and the
// reply after it untouched, however the stream is cut.
TEST_F(SocketTest, ReadsAMessageInPiecesWhereverTheStreamIsCut) {
  const std::string long_line(200000, 'x');
  const std::string message = "+OK 9 octets\r\nSubject: hi\r\n\r\n..dot\r\n...\r\n.\r\n";
  const std::string expected = "Subject: hi\n\n.dot\n..\n";
  const std::string with_long = "+OK\r\n." + long_line + "\r\nend\r\n.\r\n";
  for (size_t split = 1; split < message.size(); ++split) {
    SCOPED_TRACE(split);
    server_ = std::make_shared<FakeServer>();
    Socket& socket = open();
    server_->send(splitAt(message + "+OK next\r\n", {split}));
    std::string text;
    const long got = socket.readMessage(
        [&text](std::string_view piece) {
          text += piece;
          return true;
        },
        1 << 20);
    EXPECT_EQ(got, static_cast<long>(message.size()));
    EXPECT_EQ(text, expected);
    EXPECT_EQ(*socket.lastReply(), "+OK 9 octets\r\n");
    ASSERT_GT(socket.readReply(false), 0);
    EXPECT_EQ(*socket.lastReply(), "+OK next\r\n");
  }
  // The long line arrives in pieces, none of them larger than a read; a sink that fails gets
  // nothing more, and the reply is still read to its end.
  server_ = std::make_shared<FakeServer>();
  Socket& socket = open();
  server_->send(splitAt(with_long + with_long + "-ERR gone\r\n", {100, 70000, 150000}));
  std::string text;
  size_t largest = 0;
  EXPECT_GT(socket.readMessage(
                [&](std::string_view piece) {
                  text += piece;
                  largest = std::max(largest, piece.size());
                  return true;
                },
                1 << 20),
            0);
  EXPECT_EQ(text, long_line + "\nend\n");
  EXPECT_LE(largest, size_t{100000});
  int calls = 0;
  EXPECT_GT(socket.readMessage([&calls](std::string_view) { return ++calls > 5; }, 1 << 20), 0);
  EXPECT_EQ(calls, 1);
  // A negative status line ends the reply; the sink gets nothing.
  EXPECT_EQ(socket.readMessage([](std::string_view) { return true; }, 1 << 20), 11);
  EXPECT_EQ(*socket.lastReply(), "-ERR gone\r\n");
  // Beyond the limit, or cut off: -1.
  server_->send({"+OK\r\n" + std::string(5000, 'y') + "\r\n.\r\n"});
  EXPECT_EQ(socket.readMessage([](std::string_view) { return true; }, 4096), -1);
  server_->send({"+OK\r\nSubject: half"});
  server_->endStream();
  EXPECT_EQ(socket.readMessage([](std::string_view) { return true; }, 4096), -1);
}

TEST_F(SocketTest, LastReplyIsNullUntilAReplyArrivesAndSurvivesAFailedRead) {
  server_->send({"+OK ready\r\n"});
  Socket& socket = open();
  EXPECT_EQ(socket.lastReply(), nullptr);
  ASSERT_EQ(socket.readReply(false), 11);
  EXPECT_EQ(socket.readReply(false), -1);
  ASSERT_NE(socket.lastReply(), nullptr);
  EXPECT_EQ(*socket.lastReply(), "+OK ready\r\n");
}

TEST_F(SocketTest, KeepsBytesAfterAReplyForTheNextRead) {
  server_->send({"+OK a\r\n+OK b\r\n"});
  Socket& socket = open();
  ASSERT_EQ(socket.readReply(false), 7);
  EXPECT_EQ(*socket.lastReply(), "+OK a\r\n");
  ASSERT_EQ(socket.readReply(false), 7);
  EXPECT_EQ(*socket.lastReply(), "+OK b\r\n");
}

TEST_F(SocketTest, FailuresBeforeTheReplyIsCompleteAreReported) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    bool end_stream;
    Lines messages;
  };
  const Case cases[] = {
      // Silence from the first byte on is what a TLS port looks like to a plain client.
      {"nothing arrives", {}, false,
       {"pollensift: Error: Connection has timed out.",
        "pollensift: Error: No greeting came from the server. If this port expects TLS from the "
        "start (usually 995), use PROTOCOL = \"POP3/SSL\"."}},
      {"stalls mid-reply", {"+OK\r\nSubject: x\r\n"}, false,
       {"pollensift: Error: Connection has timed out."}},
      {"closed before the first byte", {}, true,
       {"pollensift: Error: The server closed the connection."}},
      {"closed mid-reply", {"+OK\r\nSubject: x\r\n."}, true,
       {"pollensift: Error: The server closed the connection in the middle of a reply."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    server_ = std::make_shared<FakeServer>();
    server_->send(c.chunks);
    if (c.end_stream) server_->endStream();
    Socket& socket = open();
    EXPECT_EQ(socket.readReply(true), -1);
    EXPECT_EQ(socket.lastReply(), nullptr);
    EXPECT_EQ(log.linesStartingWith("Error: "), c.messages);
  }
}

TEST_F(SocketTest, EveryWaitIsBoundedByTheTimeOut) {
  server_->send({"+OK hello\r\n"});
  server_->expect("CAPA\r\n", {"+OK\r\n", "A: b\r\n", ".\r\n"});
  Socket& socket = open(7);
  ASSERT_GT(socket.readReply(false), 0);
  ASSERT_GT(socket.sendCommand("CAPA\r\n"), 0);
  ASSERT_GT(socket.readReply(true), 0);
  // The greeting's first wait is the few seconds after which a silence is explained; a reply
  // waits the time-out for its start, and its rest only for what is left of one more time-out.
  const std::vector<int>& waits = server_->waits();
  ASSERT_EQ(waits.size(), 4u);
  EXPECT_EQ(waits[0], 3000);
  EXPECT_EQ(waits[1], 7000);
  EXPECT_GE(waits[2], waits[3]);
  EXPECT_GT(waits[3], 6000);
  EXPECT_LE(waits[2], 7000);
}

TEST_F(SocketTest, ASilentGreetingIsExplainedAfterAFewSecondsAndAwaitedToTheTimeOut) {
  // Nothing scripted: every wait times out at once.
  Socket& socket = open(7);
  EXPECT_EQ(socket.readReply(false), -1);
  EXPECT_EQ(server_->waits(), (std::vector<int>{3000, 4000}));
  EXPECT_EQ(log_.lines(),
            (Lines{"pollensift: No greeting from the server after 3 seconds; waiting up to 4 "
                   "seconds more. A port that expects TLS at once (usually 995) stays silent like "
                   "this: it needs PROTOCOL = \"POP3/SSL\".",
                   "pollensift: Error: Connection has timed out.",
                   "pollensift: Error: No greeting came from the server. If this port expects TLS "
                   "from the start (usually 995), use PROTOCOL = \"POP3/SSL\"."}));

  // A time-out within those seconds is awaited in one piece, and a later reply is no greeting.
  server_->send({"+OK late\r\n"});
  Socket& quick = open(2);
  ASSERT_GT(quick.readReply(false), 0);
  EXPECT_EQ(quick.readReply(false), -1);
  EXPECT_EQ(server_->waits(), (std::vector<int>{3000, 4000, 2000, 2000}));
}

// A server that sends one byte every 50 ms and never ends its line; it gives up after 10 s.
class TricklingTransport : public Transport {
 public:
  long receive(char* buffer, size_t, int timeout_ms) override {
    constexpr int kPauseMs = 50;
    if (++calls_ > 200) return 0;
    if (timeout_ms >= 0 && timeout_ms < kPauseMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
      return kTimedOut;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
    buffer[0] = calls_ == 1 ? '+' : 'x';
    return 1;
  }
  long send(const char*, size_t size, int) override { return static_cast<long>(size); }
  int close() override { return 0; }

 private:
  int calls_ = 0;
};

TEST_F(SocketTest, AReplyThatTricklesInIsCutOffByTheTimeOut) {
  Socket socket(std::make_unique<TricklingTransport>(), 1);
  EXPECT_EQ(socket.readReply(false), -1);
  EXPECT_EQ(log_.linesStartingWith("Error: "),
            Lines{"pollensift: Error: Connection has timed out."});
}

// A reply that keeps coming in 16 KiB pieces every 200 ms (80 KiB a second) for longer than
// the time-out: the time-out is a limit on silence, so it is read whole.
class SteadyTransport : public Transport {
 public:
  long receive(char* buffer, size_t size, int timeout_ms) override {
    constexpr int kPauseMs = 200;
    constexpr size_t kPiece = 16384;
    if (timeout_ms >= 0 && timeout_ms < kPauseMs) return kTimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
    const std::string piece = ++calls_ == 1 ? "+OK\r\n" : calls_ < 10 ? std::string(kPiece, 'x')
                                                                   : std::string("\r\n.\r\n");
    const size_t length = std::min(size, piece.size());
    piece.copy(buffer, length);
    return static_cast<long>(length);
  }
  long send(const char*, size_t size, int) override { return static_cast<long>(size); }
  int close() override { return 0; }

 private:
  int calls_ = 0;
};

TEST_F(SocketTest, AReplyThatKeepsComingOutlastsTheTimeOut) {
  Socket socket(std::make_unique<SteadyTransport>(), 1);
  EXPECT_EQ(socket.readReply(true), 5 + 8 * 16384 + 5);
  EXPECT_EQ(log_.linesStartingWith("Error: "), Lines{});
}

TEST_F(SocketTest, TimeOutZeroWaitsForNothing) {
  server_->send({"+OK\r\n", "A: b\r\n", ".\r\n", "+O"});
  Socket& socket = open(0);
  ASSERT_GT(socket.readReply(true), 0);
  EXPECT_EQ(server_->waits(), (std::vector<int>{0, 0, 0}));
  // A reply that has begun and then stalls fails at once instead of waiting for ever.
  EXPECT_EQ(socket.readReply(false), -1);
  EXPECT_EQ(server_->waits(), (std::vector<int>{0, 0, 0, 0, 0}));
  EXPECT_EQ(log_.linesStartingWith("Error: "),
            Lines{"pollensift: Error: Connection has timed out."});
}

TEST_F(SocketTest, RefusesARepliesBeyondTheLimit) {
  server_->send({"+OK\r\n", std::string(100, 'x'), "\r\n.\r\n", "+OK\r\n"});
  Socket& socket = open();
  socket.setReplyLimit(64);
  EXPECT_EQ(socket.readReply(true), -1);
  EXPECT_EQ(log_.linesStartingWith("Error: "),
            Lines{"pollensift: Error: The server's reply is longer than 64 bytes."});
  EXPECT_EQ(socket.lastReply(), nullptr);
}

TEST_F(SocketTest, TracesCommandsAndRepliesLineByLineWithThePasswordMasked) {
  server_->send({"+OK hi\r\n"});
  server_->expect("USER jo\r\n", {"+OK\r\n"});
  server_->expect("PASS se PASS cret\r\n", {"+OK\r\n"});
  server_->expect("TOP 1 0\r\n", {"+OK\r\nSubject: \x1b[2Jx\r\n\r\n.\r\n"});
  Socket& socket = open();
  socket.readReply(false);
  EXPECT_EQ(socket.sendCommand("USER jo\r\n"), 9);
  socket.readReply(false);
  EXPECT_EQ(socket.sendCommand("PASS se PASS cret\r\n"), 19);
  socket.readReply(false);
  socket.sendCommand("TOP 1 0\r\n");
  socket.readReply(true);
  EXPECT_EQ(log_.lines(), (Lines{
                              "pollensift: Debugging: Read: +OK hi",
                              "pollensift: Debugging: Wrote: USER jo",
                              "pollensift: Debugging: Read: +OK",
                              "pollensift: Debugging: Wrote: PASS *****",
                              "pollensift: Debugging: Read: +OK",
                              "pollensift: Debugging: Wrote: TOP 1 0",
                              "pollensift: Debugging: Read: +OK",
                              "Subject: \\x1b[2Jx",
                              "",
                              ".",
                          }));
}

TEST_F(SocketTest, FailedAndImpossibleWritesGiveMinusOne) {
  Socket& socket = open();
  EXPECT_EQ(socket.sendCommand(nullptr), -1);
  server_->failWrites();
  EXPECT_EQ(socket.sendCommand("QUIT\r\n"), -1);
  EXPECT_EQ(log_.lines(),
            (Lines{"pollensift: Error: Broken pipe", "pollensift: Debugging: Wrote: QUIT"}));
  EXPECT_EQ(socket.close(), 0);
  EXPECT_TRUE(server_->closed());
  EXPECT_EQ(socket.sendCommand("QUIT\r\n"), -1);
  EXPECT_EQ(socket.readReply(false), -1);
  EXPECT_EQ(socket.close(), -1);
}

// Plain TCP over real descriptors: a socket pair stands in for the server.
class TcpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    client_ = std::make_unique<TcpTransport>(UniqueFd(fds[0]));
    peer_ = UniqueFd(fds[1]);
  }
  LogCapture log_;
  std::unique_ptr<TcpTransport> client_;
  UniqueFd peer_;
};

TEST_F(TcpTransportTest, ReceivesWaitsAndSeesTheEnd) {
  char buffer[16];
  EXPECT_EQ(client_->receive(buffer, sizeof buffer, 50), Transport::kTimedOut);
  ASSERT_EQ(::write(peer_.get(), "+OK\r\n", 5), 5);
  EXPECT_EQ(client_->receive(buffer, sizeof buffer, 0), 5);
  // Nothing is waiting when the read begins: it waits and takes what arrives meanwhile.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(::write(peer_.get(), "+OK 2\r\n", 7), 7);
  });
  EXPECT_EQ(client_->receive(buffer, sizeof buffer, 5000), 7);
  late.join();
  EXPECT_EQ(std::string_view(buffer, 7), "+OK 2\r\n");
  peer_.reset();
  EXPECT_EQ(client_->receive(buffer, sizeof buffer, 1000), 0);
}

TEST_F(TcpTransportTest, WritingToAGoneServerFailsWithoutSigpipe) {
  peer_.reset();
  EXPECT_EQ(client_->send("QUIT\r\n", 6, 1000), Transport::kFailed);
  EXPECT_EQ(log_.lines(), Lines{"pollensift: Error: Broken pipe"});
}

TEST_F(TcpTransportTest, SendsEverythingWhileThePeerReadsSlowly) {
  const std::string big(4 << 20, 'x');
  size_t received = 0;
  std::thread peer([&] {
    char buffer[65536];
    for (;;) {
      pollfd entry{peer_.get(), POLLIN, 0};
      if (::poll(&entry, 1, 5000) <= 0) return;
      const ssize_t got = ::read(peer_.get(), buffer, sizeof buffer);
      if (got <= 0) return;
      received += static_cast<size_t>(got);
      if (received == big.size()) return;
    }
  });
  EXPECT_EQ(client_->send(big.data(), big.size(), 5000), static_cast<long>(big.size()));
  peer.join();
  EXPECT_EQ(received, big.size());
}

// A listening loopback socket; connections complete in the kernel without accept().
UniqueFd listenOn(const char* address, int family, int backlog, int& port) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage storage{};
  socklen_t length;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in->sin_addr);
    length = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, address, &in6->sin6_addr);
    length = sizeof *in6;
  }
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(fd.get(), backlog) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return UniqueFd();
  }
  port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                 : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  return fd;
}

TEST(SocketConnectTest, ConnectsOverIpv4AndIpv6Loopback) {
  LogCapture log;
  struct Case {
    const char* listen;
    int family;
    const char* host;
  };
  for (const Case& c : {Case{"127.0.0.1", AF_INET, "127.0.0.1"}, Case{"::1", AF_INET6, "::1"},
                        Case{"127.0.0.1", AF_INET, "localhost"}}) {
    SCOPED_TRACE(c.host);
    int port = 0;
    UniqueFd listener = listenOn(c.listen, c.family, 4, port);
    if (!listener.valid() && c.family == AF_INET6) continue;  // no IPv6 loopback here
    ASSERT_TRUE(listener.valid());
    Socket socket;
    ASSERT_EQ(socket.connect(c.host, port, 5, 2), 0);
    EXPECT_FALSE(socket.useSsl());
    EXPECT_EQ(socket.close(), 0);
    // Pipelined commands are not held back for the acknowledgement of the one before.
    const UniqueFd fd = connectTcp(c.host, port, Deadline(5));
    ASSERT_TRUE(fd.valid());
    int no_delay = 0;
    socklen_t length = sizeof no_delay;
    ASSERT_EQ(::getsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &no_delay, &length), 0);
    EXPECT_NE(no_delay, 0);
  }
  EXPECT_EQ(log.linesStartingWith("Error: "), Lines{});
  EXPECT_EQ(log.linesStartingWith("Debugging: Client-server communication is not encrypted.").size(),
            3u);
}

TEST(SocketConnectTest, ReportsEachKindOfFailure) {
  int port = 0;
  { UniqueFd closed_again = listenOn("127.0.0.1", AF_INET, 1, port); }  // nobody listens now
  struct Case {
    const char* host;
    int port;
    Lines messages;
  };
  const std::string refused = "pollensift: Error: Connecting to 127.0.0.1 port " +
                              std::to_string(port) + " failed: Connection refused.";
  const Case cases[] = {
      {nullptr, port, {"pollensift: Error: DNS look up error; is the hostname correct?"}},
      // An empty name fails in the resolver itself, without asking any name server.
      {"", port,
       {"pollensift: Error: DNS look up error; is the hostname correct?",
        "pollensift: Error: Looking up the server '' failed: Name or service not known."}},
      // The host, the port and the system's reason follow the line of old.
      {"127.0.0.1", port,
       {"pollensift: Error: Server connection could not be established.", refused}},
      {"127.0.0.1", 70000, {"pollensift: Error: Server connection could not be established."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.messages.front());
    LogCapture log;
    Socket socket;
    EXPECT_EQ(socket.connect(c.host, c.port, 5, 2), -1);
    EXPECT_EQ(log.linesStartingWith("Error: "), c.messages);
    EXPECT_EQ(socket.close(), -1);
  }
}

TEST(SocketConnectTest, GivesUpWhenTheDeadlinePasses) {
  // A listener with a full accept queue drops further handshakes, so a connect never completes.
  int port = 0;
  UniqueFd listener = listenOn("127.0.0.1", AF_INET, 0, port);
  ASSERT_TRUE(listener.valid());
  std::vector<UniqueFd> fillers;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  for (int i = 0; i < 4; ++i) {
    fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(fillers.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  LogCapture log;
  Socket socket;
  EXPECT_EQ(socket.connect("127.0.0.1", port, 1, 2), -1);
  EXPECT_EQ(log.linesStartingWith("Error: "), Lines{"pollensift: Error: Timeout occurred."});
}

}  // namespace
