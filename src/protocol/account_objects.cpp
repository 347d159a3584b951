#include "protocol/account_objects.h"

#include <memory>
#include <utility>

#include "config/protocol_codes.h"
#include "net/socket.h"
#include "protocol/pop3.h"

namespace {

class PairedObjects : public AccountObjects {
 public:
  PairedObjects(std::shared_ptr<Protocol> protocol, std::shared_ptr<Connection> connection)
      : protocol_(std::move(protocol)), connection_(std::move(connection)) {
    protocol_->setConnection(connection_.get());
  }
  Protocol* protocol() const override { return protocol_.get(); }
  Connection* connection() const override { return connection_.get(); }

 private:
  std::shared_ptr<Protocol> protocol_;
  std::shared_ptr<Connection> connection_;
};

}  // namespace

std::shared_ptr<AccountObjects> pairAccountObjects(std::shared_ptr<Protocol> protocol,
                                                   std::shared_ptr<Connection> connection) {
  return std::make_shared<PairedObjects>(std::move(protocol), std::move(connection));
}

std::shared_ptr<AccountObjects> makeAccountObjects(int code) {
  std::shared_ptr<Protocol> protocol;
  if (protocolUsesApop(code)) {
    protocol = std::make_shared<APOP>();
  } else {
    protocol = std::make_shared<POP3>();
    if (code != kProtocolPop3Ssl && code != kProtocolPop3Stls) code = kProtocolPop3;
  }
  protocol->setProtocolType(code);
  return pairAccountObjects(std::move(protocol), std::make_shared<Socket>());
}
