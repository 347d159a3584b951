#include "config/mail_account.h"

#include "config/settings.h"
#include "protocol/protocol.h"

void MailAccount::createProtocol(int code) {
  // Earlier objects stay alive: accounts appended before still use them.
  protocol_ = Settings::instance().makeProtocol(code);
  protocol_code_ = code;
}

void MailAccount::attachConnection() {
  connection_ = Settings::instance().makeConnection();
  if (protocol_) protocol_->setConnection(connection_.get());
}

int remaining_total = 0;
