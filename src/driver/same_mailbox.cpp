#include "driver/same_mailbox.h"

#include <algorithm>
#include <map>

#include "text/compare.h"

std::vector<size_t> earlierSameMailbox(const std::vector<MailAccount>& accounts,
                                       const Resolve& resolve) {
  std::vector<size_t> earlier(accounts.size(), kNoEarlier);
  std::map<std::string, std::vector<std::string>> resolved;  // by server name, looked up once
  auto addressesOf = [&](const std::string& server) -> const std::vector<std::string>& {
    auto found = resolved.find(server);
    if (found == resolved.end()) found = resolved.emplace(server, resolve(server)).first;
    return found->second;
  };
  for (size_t later = 1; later < accounts.size(); ++later) {
    const MailAccount& account = accounts[later];
    for (size_t first = 0; first < later && earlier[later] == kNoEarlier; ++first) {
      const MailAccount& other = accounts[first];
      if (earlier[first] != kNoEarlier || other.port() != account.port() ||
          !equalsIgnoreCase(other.user(), account.user())) {
        continue;
      }
      if (equalsIgnoreCase(other.server(), account.server())) {
        earlier[later] = first;
        continue;
      }
      const std::vector<std::string>& theirs = addressesOf(other.server());
      for (const std::string& address : addressesOf(account.server())) {
        if (std::find(theirs.begin(), theirs.end(), address) != theirs.end()) {
          earlier[later] = first;
          break;
        }
      }
    }
  }
  return earlier;
}

std::string sameMailboxLine(const MailAccount& account, const MailAccount& earlier) {
  return "The account " + account.user() + "@" + account.server() + " on port " +
         std::to_string(account.port()) + " reaches the mailbox of the account " +
         earlier.user() + "@" + earlier.server() +
         " again (the same server address, port and user); it is checked once, so this "
         "account is not checked.";
}
