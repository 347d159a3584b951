#include "protocol/account_objects.h"

#include <memory>

#include "config/settings.h"
#include "protocol/protocol.h"

namespace {
// Placeholder until the POP3 dialogue lands: every operation fails.
class PendingProtocol : public Protocol {
 public:
  bool login(const char*, const char*) override { return false; }
  bool quit() override { return false; }
  int deleteMessage(int) override { return -1; }
  int status() override { return -1; }
  int scan() override { return -1; }
};
}  // namespace

void installAccountObjects() {
  Settings::instance().setObjectFactories(
      [](int code) {
        auto protocol = std::make_shared<PendingProtocol>();
        protocol->setProtocolType(code);
        return protocol;
      },
      []() { return std::shared_ptr<Connection>(); });
}
