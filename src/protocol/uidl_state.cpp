#include "protocol/uidl_state.h"

#include <algorithm>
#include <utility>

#include "protocol/state_file.h"
#include "protocol/state_format.h"

UidlState::UidlState(std::string path, int lock_wait_ms)
    : path_(std::move(path)), lock_wait_ms_(lock_wait_ms) {}

UidlState::~UidlState() = default;

std::string UidlState::accountKey(const std::string& server, int port, const std::string& user) {
  return server + '\n' + std::to_string(port) + '\n' + user;
}

bool UidlState::usableUidl(std::string_view text) { return isUsableUidl(text); }

bool UidlState::read() {
  std::string text;
  std::string reason;
  switch (readStateFile(path_, text, reason)) {
    case StateFileRead::kAbsent:
      return true;
    case StateFileRead::kFailed:
      return false;
    case StateFileRead::kUnsafe:
      rewrite_ = true;
      return true;
    case StateFileRead::kRead:
      break;
  }
  // Nothing is stored before the first account: what the file holds is read straight in.
  if (reason.empty()) arena_.reserve(text.size());
  Stored* current = nullptr;
  const StateSink sink{[&](std::string account, std::string_view fingerprint) {
                         current = &accounts_[std::move(account)];
                         current->fingerprint = std::string(fingerprint);
                       },
                       [&](std::string_view uidl, std::string_view key) {
                         current->entries.push_back(store(uidl, key));
                       }};
  if (!reason.empty() || !readStateText(text, sink, reason)) {
    // Judging everything is always right; the file is written anew after the first account.
    warnAboutState("The state file '" + path_ + "' " + reason + "; every message is judged.");
    arena_ = std::string();
    accounts_.clear();
    rewrite_ = true;
  }
  return true;
}

std::string_view UidlState::uidlOf(const Entry& entry) const {
  return std::string_view(arena_).substr(entry.at, entry.uidl_size);
}

std::string_view UidlState::keyOf(const Entry& entry) const {
  return std::string_view(arena_).substr(entry.at + entry.uidl_size, entry.key_size);
}

UidlState::Entry UidlState::store(std::string_view uidl, std::string_view key) {
  const Entry entry{static_cast<uint32_t>(arena_.size()), static_cast<uint8_t>(uidl.size()),
                    static_cast<uint8_t>(key.size())};
  arena_ += uidl;
  arena_ += key;
  return entry;
}

uint32_t UidlState::find(std::string_view uidl) const {
  // The place just found (asked again as the message is remembered) or the one after it.
  for (const uint32_t place : {next_ - 1, next_}) {
    if (place < loaded_.size() && uidlOf(loaded_[place]) == uidl) {
      next_ = place + 1;
      return place;
    }
  }
  if (by_uidl_.size() != loaded_.size()) {
    by_uidl_.resize(loaded_.size());
    for (uint32_t i = 0; i < by_uidl_.size(); ++i) by_uidl_[i] = i;
    std::sort(by_uidl_.begin(), by_uidl_.end(),
              [this](uint32_t a, uint32_t b) { return uidlOf(loaded_[a]) < uidlOf(loaded_[b]); });
  }
  const auto at = std::lower_bound(
      by_uidl_.begin(), by_uidl_.end(), uidl,
      [this](uint32_t place, std::string_view wanted) { return uidlOf(loaded_[place]) < wanted; });
  if (at == by_uidl_.end() || uidlOf(loaded_[*at]) != uidl) return kNone;
  next_ = *at + 1;
  return *at;
}

bool UidlState::open() {
  if (!opened_) {
    opened_ = true;
    usable_ = lock_.take(path_, lock_wait_ms_) && read();
  }
  return usable_;
}

bool UidlState::load(const std::string& account, const std::string& fingerprint) {
  open();
  putBack();
  account_ = account;
  fingerprint_ = fingerprint;
  loaded_.clear();
  by_uidl_.clear();
  fresh_.clear();
  unchanged_ = 0;
  next_ = 0;
  if (!usable_) return false;
  const auto found = accounts_.find(account);
  if (found != accounts_.end() && found->second.fingerprint == fingerprint) {
    loaded_ = std::move(found->second.entries);
    found->second.entries.clear();
    taken_ = true;
  }
  return true;
}

std::string UidlState::messageId(std::string_view uidl) const {
  return std::string(keptKey(uidl).value_or(std::string_view()));
}

std::optional<std::string_view> UidlState::keptKey(std::string_view uidl) const {
  const uint32_t place = find(uidl);
  if (place == kNone) return std::nullopt;
  return keyOf(loaded_[place]);
}

void UidlState::putBack() {
  if (!taken_) return;
  taken_ = false;
  accounts_[account_].entries = std::move(loaded_);
  loaded_.clear();
  by_uidl_.clear();
}

void UidlState::remember(std::string_view uidl, std::string_view message_id_key) {
  if (!usable_ || !usableUidl(uidl) || !isMessageIdKey(message_id_key)) return;
  const uint32_t place = find(uidl);
  if (place != kNone && keyOf(loaded_[place]) == message_id_key) {
    fresh_.push_back(loaded_[place]);
    ++unchanged_;
  } else if (arena_.size() < UINT32_MAX / 2) {
    fresh_.push_back(store(uidl, message_id_key));
  }
}

bool UidlState::commit() {
  if (!usable_) return false;
  // The same entries as the file holds: a repeat run over an unchanged mailbox writes nothing.
  const bool same = taken_ && !rewrite_ && unchanged_ == fresh_.size() &&
                    fresh_.size() == loaded_.size();
  taken_ = false;
  accounts_[account_] = Stored{fingerprint_, std::move(fresh_)};
  fresh_.clear();
  loaded_.clear();
  by_uidl_.clear();
  unchanged_ = 0;
  // A job's copy of the state lacks what the other jobs commit: the running process writes.
  if (hand_) {
    hand_(formatStored(&account_));
    return true;
  }
  if (same) return true;
  if (!replaceStateFile(path_, formatStored())) {
    rewrite_ = true;
    return false;
  }
  rewrite_ = false;
  return true;
}

std::string UidlState::format(const Contents& contents) {
  StateWriter out;
  for (const auto& [account, state] : contents) {
    out.account(account, state.fingerprint, state.entries.size());
    for (const auto& [uidl, key] : state.entries) out.entry(uidl, key);
  }
  return out.finish();
}

bool UidlState::applyCommit(std::string_view packed) {
  // The job's session over again, with what it remembered: the account's entries and whether the
  // file is written come out as they would have in one process.
  bool loaded = false;
  int accounts = 0;
  std::string reason;
  const StateSink sink{[&](std::string account, std::string_view fingerprint) {
                         ++accounts;
                         loaded = load(account, std::string(fingerprint));
                       },
                       [&](std::string_view uidl, std::string_view key) { remember(uidl, key); }};
  // What does not read back is dropped whole, as a session that did not end cleanly would be.
  if (!readStateText(packed, sink, reason) || !loaded || accounts != 1) return false;
  return commit();
}

std::string UidlState::formatStored(const std::string* only) const {
  StateWriter out;
  for (const auto& [account, state] : accounts_) {
    if (only != nullptr && account != *only) continue;
    out.account(account, state.fingerprint, state.entries.size());
    for (const Entry& entry : state.entries) out.entry(uidlOf(entry), keyOf(entry));
  }
  return out.finish();
}

std::optional<UidlState::Contents> UidlState::parse(std::string_view text, std::string& reason) {
  Contents contents;
  Account* current = nullptr;
  const StateSink sink{[&](std::string account, std::string_view fingerprint) {
                         current = &contents[std::move(account)];
                         current->fingerprint = std::string(fingerprint);
                       },
                       [&](std::string_view uidl, std::string_view key) {
                         current->entries.emplace_back(std::string(uidl), std::string(key));
                       }};
  if (!readStateText(text, sink, reason)) return std::nullopt;
  return contents;
}
