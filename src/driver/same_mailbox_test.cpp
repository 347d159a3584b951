#include "driver/same_mailbox.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

MailAccount mailbox(const std::string& server, int port, const std::string& user) {
  MailAccount account;
  account.setServer(server);
  account.setPort(port);
  account.setUser(user);
  return account;
}

// Names as a resolver gives them; a name it does not know resolves to nothing.
std::vector<std::string> resolve(const std::string& host) {
  static const std::map<std::string, std::vector<std::string>> kNames = {
      {"localhost", {"::1", "127.0.0.1"}},
      {"127.0.0.1", {"127.0.0.1"}},
      {"pop.example.org", {"192.0.2.7", "2001:db8::7"}},
      {"mail.example.org", {"2001:db8::7"}},
      {"other.example.org", {"192.0.2.8"}},
  };
  const auto found = kNames.find(host);
  return found == kNames.end() ? std::vector<std::string>() : found->second;
}

// The same server address, port and user (but for case) is the same mailbox; another port, user
// or address is not, nor are two names that resolve to nothing.
TEST(SameMailbox, SharedAddressPortAndUserMakeOneMailbox) {
  constexpr size_t kNo = kNoEarlier;
  const struct {
    const char* name;
    std::vector<MailAccount> accounts;
    std::vector<size_t> earlier;
  } cases[] = {
      {"localhost and its address",
       {mailbox("127.0.0.1", 110, "ann"), mailbox("localhost", 110, "ann")}, {kNo, 0}},
      {"user in other case", {mailbox("localhost", 110, "ann"), mailbox("localhost", 110, "ANN")},
       {kNo, 0}},
      {"server in other case, unresolved",
       {mailbox("POP.example.net", 995, "ann"), mailbox("pop.EXAMPLE.net", 995, "ann")},
       {kNo, 0}},
      {"one address of two shared",
       {mailbox("pop.example.org", 995, "ann"), mailbox("mail.example.org", 995, "ann")},
       {kNo, 0}},
      {"another port", {mailbox("localhost", 110, "ann"), mailbox("127.0.0.1", 995, "ann")},
       {kNo, kNo}},
      {"another user", {mailbox("localhost", 110, "ann"), mailbox("127.0.0.1", 110, "bob")},
       {kNo, kNo}},
      {"another address",
       {mailbox("pop.example.org", 110, "ann"), mailbox("other.example.org", 110, "ann")},
       {kNo, kNo}},
      {"nothing resolved", {mailbox("a.invalid", 110, "ann"), mailbox("b.invalid", 110, "ann")},
       {kNo, kNo}},
      {"a third reaches the first",
       {mailbox("localhost", 110, "ann"), mailbox("localhost", 110, "bob"),
        mailbox("127.0.0.1", 110, "Ann")},
       {kNo, kNo, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(earlierSameMailbox(c.accounts, resolve), c.earlier) << c.name;
  }
}

// Only accounts that share a port and a user with an earlier one are looked up.
TEST(SameMailbox, LooksUpOnlyWhatCouldMatch) {
  std::vector<std::string> asked;
  const Resolve counting = [&](const std::string& host) {
    asked.push_back(host);
    return resolve(host);
  };
  earlierSameMailbox({mailbox("localhost", 110, "ann"), mailbox("127.0.0.1", 110, "bob"),
                      mailbox("pop.example.org", 995, "ann")},
                     counting);
  EXPECT_TRUE(asked.empty());
}

}  // namespace
