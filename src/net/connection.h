#pragma once

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
};
