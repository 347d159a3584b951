#include "protocol/state_format.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <utility>

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

// The inverse of appendEscaped, into out (its room kept from word to word: a large file is read
// without an allocation per entry); false for a word it could not have written.
bool unescape(std::string_view word, std::string& out) {
  out.clear();
  size_t from = 0;
  for (size_t at = word.find('%');; at = word.find('%', from)) {
    const std::string_view run = word.substr(from, at == std::string_view::npos ? at : at - from);
    if (!std::all_of(run.begin(), run.end(),
                     [](char c) { return plain(static_cast<unsigned char>(c)); })) {
      return false;
    }
    out += run;
    if (at == std::string_view::npos) return true;
    if (at + 2 >= word.size()) return false;
    const int high = hexValue(word[at + 1]);
    const int low = hexValue(word[at + 2]);
    if (high < 0 || low < 0) return false;
    const auto byte = static_cast<unsigned char>(high * 16 + low);
    if (plain(byte)) return false;
    out += static_cast<char>(byte);
    from = at + 3;
  }
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
template <size_t count>
std::optional<std::array<std::string_view, count>> words(std::string_view line) {
  std::array<std::string_view, count> out;
  for (size_t found = 0;; ++found) {
    const size_t blank = line.find(' ');
    const std::string_view word = line.substr(0, blank);
    if (word.empty() || found == count) return std::nullopt;
    out[found] = word;
    if (blank == std::string_view::npos) {
      if (found + 1 != count) return std::nullopt;
      return out;
    }
    line.remove_prefix(blank + 1);
  }
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

std::string header() { return std::string(kMagic) + std::to_string(kVersion) + "\n"; }

}  // namespace

StateWriter::StateWriter() : out_(header()) {}

void StateWriter::account(const std::string& account, const std::string& fingerprint,
                          size_t entries) {
  out_ += "account ";
  appendEscaped(out_, account);
  out_ += ' ';
  out_ += fingerprint;
  out_ += ' ';
  out_ += std::to_string(entries);
  out_ += '\n';
}

void StateWriter::entry(std::string_view uidl, std::string_view key) {
  appendEscaped(out_, uidl);
  out_ += ' ';
  if (key.empty()) {
    out_ += '-';
  } else {
    appendEscaped(out_, key);
  }
  out_ += '\n';
}

std::string StateWriter::finish() {
  out_ += "end\n";
  return std::move(out_);
}

bool isStateHeaderLine(std::string_view first, std::string& reason) {
  if (first.substr(0, kMagic.size()) != kMagic) {
    reason = "is not a pollensift state file";
    return false;
  }
  if (first != std::string(kMagic) + std::to_string(kVersion)) {
    reason = "is of another version (" + std::string(first.substr(kMagic.size(), 20)) + ")";
    return false;
  }
  return true;
}

size_t stateHeaderSize() { return header().size(); }

bool isUsableUidl(std::string_view text) {
  if (text.empty() || text.size() > 70) return false;
  for (const char c : text) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

bool isMessageIdKey(std::string_view key) {
  if (key.empty()) return true;
  if (key[0] == '=') return key.size() <= 65;
  return key[0] == '#' && key.size() == 33;
}

bool readStateText(std::string_view text, const StateSink& sink, std::string& reason) {
  Lines lines(text);
  const auto first = lines.next();
  if (!isStateHeaderLine(first.value_or(text), reason)) return false;
  reason = "is damaged";
  std::set<std::string> accounts;
  std::string account, uidl, key;
  for (;;) {
    const auto line = lines.next();
    if (!line) return false;  // truncated: no "end" line
    if (*line == "end") break;
    const auto head = words<4>(*line);
    if (!head || (*head)[0] != "account" || !isFingerprint((*head)[2])) return false;
    const auto entries = count((*head)[3]);
    if (!unescape((*head)[1], account) || !entries || !accounts.insert(account).second) {
      return false;
    }
    sink.account(account, (*head)[2]);
    for (unsigned long i = 0; i < *entries; ++i) {
      const auto entry_line = lines.next();
      if (!entry_line) return false;
      const auto entry = words<2>(*entry_line);
      if (!entry) return false;
      const bool no_key = (*entry)[1] == "-";
      if (no_key) key.clear();
      if (!unescape((*entry)[0], uidl) || (!no_key && !unescape((*entry)[1], key)) ||
          !isUsableUidl(uidl) || !isMessageIdKey(key) || (!no_key && key.empty())) {
        return false;
      }
      sink.entry(uidl, key);
    }
  }
  if (!lines.atEnd()) return false;
  reason.clear();
  return true;
}
