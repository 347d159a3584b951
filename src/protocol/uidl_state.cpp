#include "protocol/uidl_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "report/reporter.h"

namespace {

constexpr std::string_view kMagic = "pollensift-state ";
constexpr int kVersion = 1;
// More entries than any mailbox holds: a count beyond it is damage, not a reason to reserve.
constexpr unsigned long kMaxEntries = 100000000;

bool plain(unsigned char c) { return c > 0x20 && c < 0x7f && c != '%'; }

// Bytes outside printable ASCII, and "%", as %XX: one word per field, one line per entry.
void appendEscaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (plain(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The inverse of appendEscaped; nothing for a word it could not have written.
std::optional<std::string> unescaped(std::string_view word) {
  std::string out;
  out.reserve(word.size());
  for (size_t i = 0; i < word.size(); ++i) {
    const auto c = static_cast<unsigned char>(word[i]);
    if (c != '%') {
      if (!plain(c)) return std::nullopt;
      out += word[i];
      continue;
    }
    if (i + 2 >= word.size()) return std::nullopt;
    const int high = hexValue(word[i + 1]);
    const int low = hexValue(word[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const auto byte = static_cast<unsigned char>(high * 16 + low);
    if (plain(byte)) return std::nullopt;
    out += static_cast<char>(byte);
    i += 2;
  }
  return out;
}

// A Message-ID key as the duplicate list makes it: "=" and at most 64 bytes, or "#" and a
// 32-byte digest; "" for a message without one. Written as "-" when empty.
bool validKey(const std::string& key) {
  if (key.empty()) return true;
  if (key[0] == '=') return key.size() <= 65;
  return key[0] == '#' && key.size() == 33;
}

// Cuts text into lines, each ending in LF; the last piece is what follows the last LF.
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}
  std::optional<std::string_view> next() {
    const size_t end = rest_.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    return line;
  }
  bool atEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

// The words of line separated by single blanks; nothing unless there are exactly count of them,
// none empty.
std::optional<std::vector<std::string_view>> words(std::string_view line, size_t count) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t blank = line.find(' ');
    const std::string_view word = line.substr(0, blank);
    if (word.empty() || out.size() == count) return std::nullopt;
    out.push_back(word);
    if (blank == std::string_view::npos) break;
    line.remove_prefix(blank + 1);
  }
  if (out.size() != count) return std::nullopt;
  return out;
}

std::optional<unsigned long> count(std::string_view word) {
  if (word.empty() || word.size() > 9) return std::nullopt;
  unsigned long value = 0;
  for (const char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value > kMaxEntries || (word.size() > 1 && word[0] == '0')) return std::nullopt;
  return value;
}

bool isFingerprint(std::string_view word) {
  if (word.size() != 64) return false;
  for (const char c : word) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

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

bool UidlState::usableUidl(std::string_view text) {
  if (text.empty() || text.size() > 70) return false;
  for (const char c : text) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

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
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return true;  // the first run
    warn("The state file '" + path_ + "' cannot be read (" + std::strerror(errno) +
         "); every message is judged.");
    return false;
  }
  std::string text;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  char buffer[65536];
  while (ok) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  if (!ok) {
    warn("The state file '" + path_ + "' cannot be read; every message is judged.");
    return false;
  }
  std::string reason;
  std::optional<Contents> contents = parse(text, reason);
  if (!contents) {
    // Judging everything is always right; the file is written anew after the first account.
    warn("The state file '" + path_ + "' " + reason + "; every message is judged.");
    return true;
  }
  contents_ = std::move(*contents);
  return true;
}

bool UidlState::load(const std::string& account, const std::string& fingerprint) {
  if (!opened_) {
    opened_ = true;
    usable_ = lock() && read();
  }
  account_ = account;
  fingerprint_ = fingerprint;
  current_.clear();
  fresh_.clear();
  if (!usable_) return false;
  const auto found = contents_.find(account);
  if (found != contents_.end() && found->second.fingerprint == fingerprint) {
    Entries entries = std::move(found->second.entries);
    found->second.entries.clear();
    current_.reserve(entries.size());
    for (auto& [uidl, key] : entries) current_.emplace(std::move(uidl), std::move(key));
  }
  return true;
}

const std::string& UidlState::messageId(const std::string& uidl) const {
  static const std::string kNone;
  const auto found = current_.find(uidl);
  return found == current_.end() ? kNone : found->second;
}

void UidlState::remember(const std::string& uidl, std::string message_id_key) {
  if (usable_ && usableUidl(uidl) && validKey(message_id_key)) {
    fresh_.emplace_back(uidl, std::move(message_id_key));
  }
}

bool UidlState::commit() {
  if (!usable_) return false;
  contents_[account_] = Account{fingerprint_, std::move(fresh_)};
  fresh_.clear();
  current_.clear();
  const std::string text = format(contents_);

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
    return false;
  }
  // The rename itself reaches the disk with the directory.
  const int directory = ::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

std::string UidlState::format(const Contents& contents) {
  std::string out(kMagic);
  out += std::to_string(kVersion);
  out += '\n';
  for (const auto& [account, state] : contents) {
    out += "account ";
    appendEscaped(out, account);
    out += ' ';
    out += state.fingerprint;
    out += ' ';
    out += std::to_string(state.entries.size());
    out += '\n';
    for (const auto& [uidl, key] : state.entries) {
      appendEscaped(out, uidl);
      out += ' ';
      if (key.empty()) {
        out += '-';
      } else {
        appendEscaped(out, key);
      }
      out += '\n';
    }
  }
  out += "end\n";
  return out;
}

std::optional<UidlState::Contents> UidlState::parse(std::string_view text, std::string& reason) {
  Lines lines(text);
  const auto first = lines.next();
  if (!first || first->substr(0, kMagic.size()) != kMagic) {
    reason = "is not a pollensift state file";
    return std::nullopt;
  }
  if (*first != std::string(kMagic) + std::to_string(kVersion)) {
    reason = "is of another version (" + std::string(first->substr(kMagic.size(), 20)) + ")";
    return std::nullopt;
  }
  reason = "is damaged";
  Contents contents;
  for (;;) {
    const auto line = lines.next();
    if (!line) return std::nullopt;  // truncated: no "end" line
    if (*line == "end") break;
    const auto head = words(*line, 4);
    if (!head || (*head)[0] != "account" || !isFingerprint((*head)[2])) return std::nullopt;
    auto account = unescaped((*head)[1]);
    const auto entries = count((*head)[3]);
    if (!account || !entries || contents.count(*account) != 0) return std::nullopt;
    Account& state = contents[*account];
    state.fingerprint = std::string((*head)[2]);
    for (unsigned long i = 0; i < *entries; ++i) {
      const auto entry_line = lines.next();
      if (!entry_line) return std::nullopt;
      const auto entry = words(*entry_line, 2);
      if (!entry) return std::nullopt;
      auto uidl = unescaped((*entry)[0]);
      std::optional<std::string> key =
          (*entry)[1] == "-" ? std::optional<std::string>(std::string()) : unescaped((*entry)[1]);
      if (!uidl || !key || !usableUidl(*uidl) || !validKey(*key) ||
          ((*entry)[1] != "-" && key->empty())) {
        return std::nullopt;
      }
      state.entries.emplace_back(std::move(*uidl), std::move(*key));
    }
  }
  if (!lines.atEnd()) return std::nullopt;
  reason.clear();
  return contents;
}
