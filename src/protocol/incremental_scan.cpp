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

// One state for the whole run: it holds the lock from the first account to the end. Null
// without STATEFILE.
UidlState* runState() {
  const std::string& path = Settings::instance().statefile();
  if (path.empty()) return nullptr;
  static std::unique_ptr<UidlState> state;
  if (!state) state = std::make_unique<UidlState>(path);
  return state.get();
}

// In a job: where the account begins to use the state.
std::function<void()>& usedHook() {
  static std::function<void()> used;
  return used;
}

}  // namespace

std::unique_ptr<IncrementalScan> IncrementalScan::begin(const std::string& server, int port,
                                                        const std::string& user) {
  UidlState* const state = runState();
  if (state == nullptr) return nullptr;
  if (usedHook()) usedHook()();
  if (!state->load(UidlState::accountKey(server, port, user), verdictFingerprint())) {
    return nullptr;
  }
  return std::unique_ptr<IncrementalScan>(new IncrementalScan(*state));
}

void IncrementalScan::openForJobs() {
  if (UidlState* const state = runState()) state->open();
}

void IncrementalScan::inJob(std::function<void()> used,
                            std::function<void(std::string)> committed) {
  UidlState* const state = runState();
  if (state == nullptr) return;
  usedHook() = std::move(used);
  state->handCommitsTo(std::move(committed));
}

void IncrementalScan::applyCommit(std::string_view packed) {
  if (UidlState* const state = runState()) state->applyCommit(packed);
}

bool IncrementalScan::list(Connection& link, int count, bool asked) {
  if (!asked && link.sendCommand("UIDL\r\n") < 0) return false;
  const int read = link.readReply(true);
  const std::string* reply = link.lastReply();
  if (read <= 0 || reply == nullptr || reply->empty()) return false;
  if (reply->front() != '+') {
    Reporter::instance().print("The server does not list unique ids (UIDL); every message is "
                               "judged.", 3);
    return true;
  }
  // A UIDL names one message and a message has one UIDL; anything listed twice is judged. Memory
  // follows the lines the server sent, never the count STAT claimed, and the listing is checked
  // by sorting rather than with a hash table: a large mailbox's listing is held at once.
  listing_ = *reply;
  listed_.clear();
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
  asked_ = true;
  return true;
}

std::string_view IncrementalScan::uidlOf(int number) const {
  const auto at = std::lower_bound(listed_.begin(), listed_.end(), number,
                                   [](const Listed& entry, int n) { return entry.number < n; });
  return at != listed_.end() && at->number == number ? at->uidl : std::string_view();
}

bool IncrementalScan::remembered(int number) const {
  const std::string_view uidl = uidlOf(number);
  return !uidl.empty() && state_.isKept(uidl);
}

bool IncrementalScan::skip(int number) {
  const std::string_view uidl = uidlOf(number);
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
  if (verdict != 0) return;
  const std::string_view uidl = uidlOf(number);
  if (!uidl.empty()) state_.remember(uidl, FilterEngine::seenKey(message_id));
}

void IncrementalScan::report() const {
  if (!asked_) return;
  Reporter::instance().print(std::to_string(skipped_) +
                                 " message(s) judged in an earlier run, not fetched again.",
                             3);
}

void IncrementalScan::commit() {
  if (asked_) state_.commit();
}
