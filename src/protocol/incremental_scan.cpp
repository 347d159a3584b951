#include "protocol/incremental_scan.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "net/connection.h"
#include "protocol/uidl_state.h"
#include "report/reporter.h"

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

std::unique_ptr<IncrementalScan> IncrementalScan::begin(const std::string& server, int port,
                                                        const std::string& user) {
  const std::string& path = Settings::instance().statefile();
  if (path.empty()) return nullptr;
  // One state for the whole run: it holds the lock from the first account to the end.
  static std::unique_ptr<UidlState> state;
  if (!state) state = std::make_unique<UidlState>(path);
  if (!state->load(UidlState::accountKey(server, port, user), verdictFingerprint())) {
    return nullptr;
  }
  return std::unique_ptr<IncrementalScan>(new IncrementalScan(*state));
}

bool IncrementalScan::list(Connection& link, int count) {
  if (link.sendCommand("UIDL\r\n") < 0) return false;
  const int read = link.readReply(true);
  const std::string* reply = link.lastReply();
  if (read <= 0 || reply == nullptr || reply->empty()) return false;
  if (reply->front() != '+') {
    Reporter::instance().print("The server does not list unique ids (UIDL); every message is "
                               "judged.", 3);
    return true;
  }
  // A UIDL names one message and a message has one UIDL; anything listed twice is judged. The
  // listing is checked by sorting places rather than with a hash table: a large mailbox's listing
  // is held in memory at once.
  listing_ = *reply;
  uidls_.assign(static_cast<size_t>(count), std::string_view());
  std::vector<bool> unusable(static_cast<size_t>(count), false);
  std::string_view rest(listing_);
  rest.remove_prefix(std::min(rest.size(), rest.find("\r\n") + 2));
  while (!rest.empty()) {
    const size_t end = rest.find("\r\n");
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    const int number = listedNumber(line.substr(0, blank), count);
    const std::string_view uidl = line.substr(blank + 1);
    if (number == 0 || !UidlState::usableUidl(uidl)) continue;
    const auto place = static_cast<size_t>(number) - 1;
    if (!uidls_[place].empty()) unusable[place] = true;
    uidls_[place] = uidl;
  }
  std::vector<uint32_t> by_uidl;
  for (size_t place = 0; place < uidls_.size(); ++place) {
    if (!uidls_[place].empty()) by_uidl.push_back(static_cast<uint32_t>(place));
  }
  std::sort(by_uidl.begin(), by_uidl.end(),
            [this](uint32_t a, uint32_t b) { return uidls_[a] < uidls_[b]; });
  for (size_t i = 1; i < by_uidl.size(); ++i) {
    if (uidls_[by_uidl[i - 1]] == uidls_[by_uidl[i]]) {
      unusable[by_uidl[i - 1]] = true;
      unusable[by_uidl[i]] = true;
    }
  }
  for (size_t place = 0; place < uidls_.size(); ++place) {
    if (unusable[place]) uidls_[place] = std::string_view();
  }
  listed_ = true;
  return true;
}

bool IncrementalScan::remembered(int number) const {
  if (!listed_ || number < 1 || static_cast<size_t>(number) > uidls_.size()) return false;
  const std::string_view uidl = uidls_[static_cast<size_t>(number) - 1];
  return !uidl.empty() && state_.isKept(uidl);
}

bool IncrementalScan::skip(int number) {
  if (!listed_ || number < 1 || static_cast<size_t>(number) > uidls_.size()) return false;
  const std::string_view uidl = uidls_[static_cast<size_t>(number) - 1];
  if (uidl.empty()) return false;
  const std::optional<std::string_view> kept = state_.keptKey(uidl);
  if (!kept) return false;
  const std::string key(*kept);
  // Seen before at this place: a full run would delete it as a duplicate, so it is judged now.
  if (!FilterEngine::instance().seedSeen(key)) return false;
  state_.remember(uidl, key);
  ++skipped_;
  return true;
}

int IncrementalScan::skipLeading(int count) {
  int number = 1;
  while (number <= count && skip(number)) ++number;
  return number - 1;
}

void IncrementalScan::judged(int number, int verdict, const std::string& message_id) {
  if (!listed_ || verdict != 0 || number < 1 || static_cast<size_t>(number) > uidls_.size()) {
    return;
  }
  const std::string_view uidl = uidls_[static_cast<size_t>(number) - 1];
  if (!uidl.empty()) state_.remember(uidl, FilterEngine::seenKey(message_id));
}

void IncrementalScan::report() const {
  if (!listed_) return;
  Reporter::instance().print(std::to_string(skipped_) +
                                 " message(s) judged in an earlier run, not fetched again.",
                             3);
}

void IncrementalScan::commit() {
  if (listed_) state_.commit();
}
