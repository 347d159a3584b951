#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "net/connection.h"
#include "net/reply_reader.h"
#include "net/tcp_transport.h"
#include "net/transport.h"

// The connection to a POP3 server: TCP, or TLS over TCP for the SSL protocol codes. Replies are
// framed by their own end markers; a reply must begin within the time-out and, once begun, may
// fall silent for no longer than the time-out at a time while it keeps coming at a least pace
// (kSlowestPace); a time-out of 0 waits for nothing. Every command and reply
// is traced at verbosity 6 (passwords masked).
class Socket : public Connection {
 public:
  Socket() = default;
  // A socket over a stream that is already open; tests use it to run without a network.
  Socket(std::unique_ptr<Transport> transport, int timeout);
  ~Socket() override;

  int connect(const char* host, int port, int timeout, int protocolType) override;
  int close() override;
  int closeInOrder(int wait_seconds) override;
  int readReply(bool multiline) override;
  long readMessage(const std::function<bool(std::string_view)>& sink, size_t limit) override;
  int sendCommand(const char* text) override;
  int sendCommands(const std::string& commands) override;
  int sendSecret(const char* text, size_t shown) override;
  int startTls() override;
  void setTlsTrust(const TlsTrust& trust) override { trust_ = trust; }
  const TlsPeer* tlsPeer() const override { return transport_ ? transport_->tlsPeer() : nullptr; }
  const std::string* lastReply() const override;
  bool peerClosed() const override { return transport_ && transport_->peerClosed(); }
  bool pendingInput() const override {
    return reader_.buffered() != 0 || (transport_ && transport_->pendingInput());
  }
  bool replyBuffered(bool multiline) override {
    return reader_.buffered() != 0 && reader_.check(multiline) == ReplyReader::Status::kComplete;
  }

  bool useSsl() const { return use_ssl_; }
  // The longest reply accepted before readReply gives up.
  size_t setReplyLimit(size_t bytes) override {
    const size_t before = reader_.limit();
    reader_.setLimit(bytes);
    return before;
  }

 private:
  int replyWaitMs() const;
  // The least a reply that has begun must bring on average, in bytes a second, beyond the
  // time-out allowed from its first bytes.
  static constexpr size_t kSlowestPace = 1024;
  // When the rest of a reply began to be waited for, and what has come since.
  struct ReplyPace {
    std::chrono::steady_clock::time_point start;
    size_t bytes = 0;
  };
  // Waits for and appends more of a reply: true, or false after reporting why (the reader is then
  // cleared). first_data: nothing of the reply has arrived yet; pace: how the rest is coming.
  bool receiveMore(bool first_data, std::optional<ReplyPace>& pace);
  // Receives the first bytes of the greeting of a plain connection, explaining a long silence.
  long awaitGreeting(char* chunk, size_t size, int wait_ms);
  // Writes text; the trace shows it in full, or only its first shown bytes and "*****".
  int write(const char* text, size_t shown);
  // Writes text in one piece; traced line by line when trace is set.
  int writeAll(std::string_view text, size_t shown, bool by_line);

  std::unique_ptr<Transport> transport_;
  ReplyReader reader_;
  std::optional<std::string> last_reply_;
  TlsTrust trust_;
  std::string host_;
  int timeout_ = 0;
  bool use_ssl_ = false;
};
