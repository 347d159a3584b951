#include "protocol/uidl_listing.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "net/connection.h"
#include "protocol/uidl_state.h"

namespace {

// The message number of a listing line "n uidl": 1 to count, else 0.
int listedNumber(std::string_view word, int count) {
  if (word.empty() || word.size() > 9 || word[0] == '0') return 0;
  int number = 0;
  for (const char c : word) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number <= count ? number : 0;
}

}  // namespace

bool UidlListing::read(Connection& link, int count, bool asked) {
  if (!asked && link.sendCommand("UIDL\r\n") < 0) return false;
  const int read = link.readReply(true);
  const std::string* reply = link.lastReply();
  if (read <= 0 || reply == nullptr || reply->empty()) return false;
  offered_ = reply->front() == '+';
  listed_.clear();
  if (!offered_) return true;
  // A UIDL names one message and a message has one UIDL; anything listed twice is judged. Memory
  // follows the lines the server sent, never the count STAT claimed, and the listing is checked
  // by sorting rather than with a hash table: a large mailbox's listing is held at once.
  text_ = *reply;
  std::string_view rest(text_);
  rest.remove_prefix(std::min(rest.size(), rest.find("\r\n") + 2));
  while (!rest.empty()) {
    const size_t end = rest.find("\r\n");
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    const int number = listedNumber(line.substr(0, blank), count);
    const std::string_view uidl = line.substr(blank + 1);
    if (number != 0 && UidlState::usableUidl(uidl)) listed_.push_back({number, uidl});
  }
  std::vector<bool> unusable(listed_.size(), false);
  std::vector<uint32_t> order(listed_.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto markRepeats = [&](auto same) {
    for (size_t i = 1; i < order.size(); ++i) {
      if (same(listed_[order[i - 1]], listed_[order[i]])) {
        unusable[order[i - 1]] = true;
        unusable[order[i]] = true;
      }
    }
  };
  std::sort(order.begin(), order.end(),
            [this](uint32_t a, uint32_t b) { return listed_[a].uidl < listed_[b].uidl; });
  markRepeats([](const Listed& a, const Listed& b) { return a.uidl == b.uidl; });
  std::sort(order.begin(), order.end(),
            [this](uint32_t a, uint32_t b) { return listed_[a].number < listed_[b].number; });
  markRepeats([](const Listed& a, const Listed& b) { return a.number == b.number; });
  std::vector<Listed> usable;
  for (const uint32_t i : order) {
    if (!unusable[i]) usable.push_back(listed_[i]);
  }
  listed_ = std::move(usable);
  return true;
}

std::string_view UidlListing::uidlOf(int number) const {
  const auto at = std::lower_bound(listed_.begin(), listed_.end(), number,
                                   [](const Listed& entry, int n) { return entry.number < n; });
  return at != listed_.end() && at->number == number ? at->uidl : std::string_view();
}
