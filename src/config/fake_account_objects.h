#pragma once

// For tests: account objects that PROTOCOL statements can create without any network or mailbox
// code. They remember the protocol code they were made for; nothing else does anything.

#include <memory>

#include "config/mail_account.h"
#include "config/settings.h"

class FakeAccountObjects : public AccountObjects {
 public:
  explicit FakeAccountObjects(int code) : code_(code) {}
  Protocol* protocol() const override { return nullptr; }
  Connection* connection() const override { return nullptr; }
  int code() const { return code_; }

 private:
  int code_;
};

inline void installFakeAccountObjects(Settings& settings) {
  settings.setObjectFactory([](int code) { return std::make_shared<FakeAccountObjects>(code); });
}

// The protocol code the account's fake objects were made for; -1 without any.
inline int fakeObjectsCode(const MailAccount& account) {
  const auto* fake = dynamic_cast<const FakeAccountObjects*>(account.objects().get());
  return fake == nullptr ? -1 : fake->code();
}
