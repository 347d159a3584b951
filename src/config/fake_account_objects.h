#pragma once

// For tests: account objects that PROTOCOL statements can create without any network or mailbox
// code. The protocol remembers its code; nothing else does anything.

#include <memory>
#include <string>

#include "config/settings.h"
#include "net/connection.h"
#include "protocol/protocol.h"

class FakeProtocol : public Protocol {
 public:
  bool login(const char*, const char*) override { return false; }
  bool quit() override { return false; }
  int deleteMessage(int) override { return -1; }
  int status() override { return -1; }
  int scan() override { return -1; }
};

class FakeConnection : public Connection {
 public:
  int connect(const char*, int, int, int) override { return -1; }
  int close() override { return -1; }
  int readReply(bool) override { return -1; }
  int sendCommand(const char*) override { return -1; }
  int sendSecret(const char*, size_t) override { return -1; }
  int startTls() override { return -1; }
  void setTlsTrust(const TlsTrust&) override {}
  const std::string* lastReply() const override { return nullptr; }
};

inline void installFakeAccountObjects(Settings& settings) {
  settings.setObjectFactories(
      [](int code) {
        auto protocol = std::make_shared<FakeProtocol>();
        protocol->setProtocolType(code);
        return protocol;
      },
      [] { return std::make_shared<FakeConnection>(); });
}
