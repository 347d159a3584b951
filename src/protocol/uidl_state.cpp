#include "protocol/uidl_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "protocol/state_format.h"
#include "report/reporter.h"

namespace {

// The largest file read, some ten million messages; it is held whole while it is read, and the
// arena counts its places in 32 bits.
constexpr size_t kMaxFileBytes = size_t{1} << 30;

// Writes all of text to fd; false on any failure.
bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

UidlState::UidlState(std::string path, int lock_wait_ms)
    : path_(std::move(path)), lock_wait_ms_(lock_wait_ms) {}

UidlState::~UidlState() {
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

std::string UidlState::accountKey(const std::string& server, int port, const std::string& user) {
  return server + '\n' + std::to_string(port) + '\n' + user;
}

bool UidlState::usableUidl(std::string_view text) { return isUsableUidl(text); }

void UidlState::warn(const std::string& message) const {
  Reporter::instance().print("Warning: " + message, 1);
}

bool UidlState::lock() {
  const std::string lock_path = path_ + ".lock";
  lock_fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock_fd_ < 0) {
    warn("The state file's lock '" + lock_path + "' cannot be opened (" + std::strerror(errno) +
         "); every message is judged.");
    return false;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(lock_wait_ms_);
  for (;;) {
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  warn("Another run holds the state file '" + path_ + "'; every message is judged in this run.");
  ::close(lock_fd_);
  lock_fd_ = -1;
  return false;
}

bool UidlState::read() {
  // Not blocking: a FIFO put in the file's place after the start-up check must not hang the run.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return true;  // the first run
    warn("The state file '" + path_ + "' cannot be read (" + std::strerror(errno) +
         "); every message is judged.");
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    warn("The state file '" + path_ + "' cannot be read; every message is judged.");
    return false;
  }
  // Whoever can change the file can have a message kept unseen, or one deleted as the duplicate
  // of a Message-ID it did not have: nothing in it is believed.
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    warn("The state file '" + path_ + "' can be changed by other users (mode " + mode +
         "); every message is judged, and the file is written anew with mode 0600.");
    rewrite_ = true;
    return true;
  }
  std::string text;
  std::string reason;
  bool ok = true;
  const bool too_large = info.st_size > static_cast<off_t>(kMaxFileBytes);
  if (!too_large && info.st_size > 0) text.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  bool first_line_checked = false;
  while (ok && reason.empty() && text.size() <= kMaxFileBytes) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    // Whatever else the file holds, a wrong first line is known before the rest is read.
    const size_t line_end = text.find('\n');
    if (!first_line_checked && (line_end != std::string::npos || text.size() > stateHeaderSize())) {
      first_line_checked = true;
      if (isStateHeaderLine(std::string_view(text).substr(0, line_end), reason) && too_large) {
        reason = "is too large";
      }
    }
  }
  ::close(fd);
  if (!ok) {
    warn("The state file '" + path_ + "' cannot be read; every message is judged.");
    return false;
  }
  if (reason.empty() && text.size() > kMaxFileBytes) reason = "is too large";
  std::string arena;
  if (reason.empty()) arena.reserve(text.size());
  std::map<std::string, Stored> accounts;
  Stored* current = nullptr;
  const StateSink sink{[&](std::string account, std::string_view fingerprint) {
                         current = &accounts[std::move(account)];
                         current->fingerprint = std::string(fingerprint);
                       },
                       [&](std::string_view uidl, std::string_view key) {
                         current->entries.push_back({static_cast<uint32_t>(arena.size()),
                                                     static_cast<uint8_t>(uidl.size()),
                                                     static_cast<uint8_t>(key.size())});
                         arena += uidl;
                         arena += key;
                       }};
  if (!reason.empty() || !readStateText(text, sink, reason)) {
    // Judging everything is always right; the file is written anew after the first account.
    warn("The state file '" + path_ + "' " + reason + "; every message is judged.");
    rewrite_ = true;
    return true;
  }
  arena_ = std::move(arena);
  accounts_ = std::move(accounts);
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
  const auto at = std::lower_bound(
      by_uidl_.begin(), by_uidl_.end(), uidl,
      [this](uint32_t place, std::string_view wanted) { return uidlOf(loaded_[place]) < wanted; });
  if (at == by_uidl_.end() || uidlOf(loaded_[*at]) != uidl) return kNone;
  return *at;
}

bool UidlState::load(const std::string& account, const std::string& fingerprint) {
  if (!opened_) {
    opened_ = true;
    usable_ = lock() && read();
  }
  putBack();
  account_ = account;
  fingerprint_ = fingerprint;
  loaded_.clear();
  by_uidl_.clear();
  fresh_.clear();
  unchanged_ = 0;
  if (!usable_) return false;
  const auto found = accounts_.find(account);
  if (found != accounts_.end() && found->second.fingerprint == fingerprint) {
    loaded_ = std::move(found->second.entries);
    found->second.entries.clear();
    taken_ = true;
    by_uidl_.resize(loaded_.size());
    for (uint32_t i = 0; i < by_uidl_.size(); ++i) by_uidl_[i] = i;
    std::sort(by_uidl_.begin(), by_uidl_.end(), [this](uint32_t a, uint32_t b) {
      return uidlOf(loaded_[a]) < uidlOf(loaded_[b]);
    });
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
  if (same) return true;
  const std::string text = formatStored();

  std::string temporary = path_ + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  bool ok = fd >= 0;
  if (ok) {
    ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path_.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
  }
  if (!ok) {
    warn("The state file '" + path_ + "' cannot be written (" + std::strerror(errno) +
         "); the next run judges these messages again.");
    rewrite_ = true;
    return false;
  }
  rewrite_ = false;
  // The rename itself reaches the disk with the directory.
  const int directory = ::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
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

std::string UidlState::formatStored() const {
  StateWriter out;
  for (const auto& [account, state] : accounts_) {
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
