#include "protocol/incremental_scan.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "protocol/uidl_state.h"
#include "report/reporter.h"

namespace {

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
  if (!listing_.read(link, count, asked)) return false;
  if (!listing_.offered()) {
    Reporter::instance().print("The server does not list unique ids (UIDL); every message is "
                               "judged.", 3);
    return true;
  }
  asked_ = true;
  return true;
}

std::string_view IncrementalScan::uidlOf(int number) const { return listing_.uidlOf(number); }

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
  FilterEngine& engine = FilterEngine::instance();
  if (!engine.seedSeen(key)) return false;
  // Seeded, its ID was not seen before, so neither was this message.
  engine.seeMessage(uidl, key);
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
