#pragma once

#include <cstddef>
#include <string>

// The transport a mailbox protocol talks through. Socket is the real one; tests plug in their own.
class Connection {
 public:
  virtual ~Connection() = default;
  // 0 when connected (for the TLS protocol codes: hand-shake done); -1 after reporting why.
  virtual int connect(const char* host, int port, int timeout, int protocolType) = 0;
  virtual int close() = 0;
  // Length of the complete reply, -1 on time-out, end of stream or read failure, -2 when it could
  // not be stored.
  virtual int readReply(bool multiline) = 0;
  // Bytes written, or a negative value on failure (also for a null text).
  virtual int sendCommand(const char* text) = 0;
  // The last complete reply, or null before the first one.
  virtual const std::string* lastReply() const = 0;
  // Sets the longest reply accepted from now on and returns the one before; a transport without
  // a limit ignores it and returns 0.
  virtual size_t setReplyLimit(size_t /*bytes*/) { return 0; }
};

// The longest header (the reply to TOP n 0) accepted. Real headers are kilobytes, spam with long
// lines tens of kilobytes; parsing and judging a header costs a few times its size in memory,
// so a hostile server must not send hundreds of megabytes of it.
constexpr size_t kHeaderReplyLimit = size_t{4} << 20;

// While it lives, replies on a connection are held to a limit; then the one before holds again.
class ReplyLimit {
 public:
  ReplyLimit(Connection& link, size_t bytes) : link_(link), before_(link.setReplyLimit(bytes)) {}
  ~ReplyLimit() {
    if (before_ != 0) link_.setReplyLimit(before_);
  }
  ReplyLimit(const ReplyLimit&) = delete;
  ReplyLimit& operator=(const ReplyLimit&) = delete;

 private:
  Connection& link_;
  size_t before_;
};
