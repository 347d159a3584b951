#include "protocol/account_objects.h"

#include <memory>

#include "config/settings.h"
#include "net/socket.h"
#include "protocol/pop3.h"

void installAccountObjects() {
  Settings::instance().setObjectFactories(
      [](int code) -> std::shared_ptr<Protocol> {
        std::shared_ptr<Protocol> protocol;
        if (protocolUsesApop(code)) {
          protocol = std::make_shared<APOP>();
        } else {
          protocol = std::make_shared<POP3>();
          if (code != kProtocolPop3Ssl && code != kProtocolPop3Stls) code = kProtocolPop3;
        }
        protocol->setProtocolType(code);
        return protocol;
      },
      []() -> std::shared_ptr<Connection> { return std::make_shared<Socket>(); });
}
