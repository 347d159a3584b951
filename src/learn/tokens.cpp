// The tokens of a header. Every token is printable: no blank and no control character, so that it
// fits on one line of the learned-token file and reaches the terminal safely.

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "header/message_header.h"
#include "learn/header_tokens.h"
#include "learn/learn.h"

namespace learn {
namespace {

// Bounds against a hostile header: tokens taken from one field, and in all.
constexpr size_t kMaxFieldTokens = 64;
constexpr size_t kMaxTokensPerHeader = 1000;
constexpr size_t kMaxWord = 40;
constexpr size_t kMaxPrefix = 48;
// The slots of a header's set of token hashes: at most half full.
constexpr size_t kSeenSlots = 2048;
static_assert(kSeenSlots >= 2 * kMaxTokensPerHeader && kSeenSlots <= 65536);

constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

constexpr bool isAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// --- RFC 2047 encoded words ---------------------------------------------------------------

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool decodeQ(std::string_view text, std::string& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=') {
      if (i + 2 >= text.size()) return false;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool decodeB(std::string_view text, std::string& out) {
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    const int value = base64Value(c);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return true;
}

// Converters by charset name, opened once: opening one costs more than converting a subject.
class Converters {
 public:
  ~Converters() {
    for (auto& [name, converter] : open_) {
      if (converter != reinterpret_cast<iconv_t>(-1)) iconv_close(converter);
    }
  }
  // text in charset, as UTF-8; false when the charset is unknown.
  bool toUtf8(const std::string& charset, std::string_view text, std::string& out) {
    const std::string name = lowered(charset);
    if (name == "utf-8" || name == "us-ascii" || name == "utf8") {
      out.append(text);
      return true;
    }
    auto found = open_.find(name);
    if (found == open_.end()) {
      // A bounded cache: a hostile header could name a new charset in every word.
      if (open_.size() >= 64) return false;
      found = open_.emplace(name, iconv_open("UTF-8", name.c_str())).first;
    }
    iconv_t converter = found->second;
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    std::string input(text);
    char* in = input.data();
    size_t in_left = input.size();
    char buffer[256];
    while (in_left > 0) {
      char* to = buffer;
      size_t to_left = sizeof buffer;
      const size_t done = iconv(converter, &in, &in_left, &to, &to_left);
      out.append(buffer, static_cast<size_t>(to - buffer));
      if (done == static_cast<size_t>(-1) && errno != E2BIG) {
        // A byte the charset does not have: marked, and the rest goes on.
        out += '?';
        ++in;
        --in_left;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
      }
    }
    return true;
  }

 private:
  std::map<std::string, iconv_t> open_;
};

Converters& converters() {
  static Converters instance;
  return instance;
}

// At text[at] "=?charset?X?encoded?=": decodes it into out and sets end past it; false when it
// is no well-formed encoded word.
bool encodedWord(std::string_view text, size_t at, std::string& out, size_t& end) {
  if (text.compare(at, 2, "=?") != 0) return false;
  const size_t charset_end = text.find('?', at + 2);
  if (charset_end == std::string_view::npos || charset_end + 2 >= text.size() ||
      text[charset_end + 2] != '?') {
    return false;
  }
  const size_t data_start = charset_end + 3;
  const size_t data_end = text.find("?=", data_start);
  if (data_end == std::string_view::npos) return false;
  std::string charset(text.substr(at + 2, charset_end - at - 2));
  if (charset.empty() || charset.size() > 40) return false;
  // RFC 2231 adds a language after "*".
  charset = charset.substr(0, charset.find('*'));
  const std::string_view data = text.substr(data_start, data_end - data_start);
  if (data.find_first_of(" \t\r\n") != std::string_view::npos) return false;
  std::string bytes;
  const char encoding = lower(text[charset_end + 1]);
  if (encoding == 'q') {
    if (!decodeQ(data, bytes)) return false;
  } else if (encoding == 'b') {
    if (!decodeB(data, bytes)) return false;
  } else {
    return false;
  }
  if (!converters().toUtf8(charset, bytes, out)) return false;
  end = data_end + 2;
  return true;
}

// --- Tokens ---------------------------------------------------------------------------------

// A short text put together on the stack: the parts of one token.
class Piece {
 public:
  Piece& operator<<(std::string_view text) {
    const size_t n = std::min(text.size(), sizeof data_ - size_);
    std::copy_n(text.data(), n, data_ + size_);
    size_ += n;
    return *this;
  }
  Piece& operator<<(char c) { return *this << std::string_view(&c, 1); }
  Piece& operator<<(unsigned number) {
    char digits[12];
    const auto result = std::to_chars(digits, digits + sizeof digits, number);
    return *this << std::string_view(digits, static_cast<size_t>(result.ptr - digits));
  }
  std::string_view view() const { return {data_, size_}; }

 private:
  char data_[96];
  size_t size_ = 0;
};

// Words: runs of letters, digits and 8-bit bytes (the letters of other scripts), at most
// kMaxFieldTokens of them.
template <typename Fn>
void eachWord(std::string_view text, Fn fn) {
  size_t count = 0;
  size_t i = 0;
  const auto word = [](char c) { return isAlnum(c) || static_cast<unsigned char>(c) >= 0x80; };
  while (i < text.size() && count < kMaxFieldTokens) {
    if (!word(text[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && word(text[j])) ++j;
    fn(text.substr(i, j - i));
    ++count;
    i = j;
  }
}

// The shape of a text: each run of digits "9", of lower-case letters "a", of upper-case "A", of
// 8-bit bytes "8", other printable bytes as they are, blanks "_"; at most 24 of them.
void shapeOf(std::string_view text, Piece& out) {
  char last = 0;
  size_t made = 0;
  for (const char c : text) {
    char kind;
    if (isDigit(c)) {
      kind = '9';
    } else if (c >= 'a' && c <= 'z') {
      kind = 'a';
    } else if (c >= 'A' && c <= 'Z') {
      kind = 'A';
    } else if (static_cast<unsigned char>(c) >= 0x80) {
      kind = '8';
    } else if (isBlank(c)) {
      kind = '_';
    } else {
      kind = c;
    }
    if (kind == last && (kind == '9' || kind == 'a' || kind == 'A' || kind == '8' || kind == '_')) {
      continue;
    }
    if (++made > 24) break;
    out << kind;
    last = kind;
  }
}

inline bool equalFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

// The address of an address field: what stands in <>, else the first word with an "@".
std::string_view addressOf(std::string_view value) {
  const size_t open = value.rfind('<');
  if (open != std::string_view::npos) {
    const size_t close = value.find('>', open);
    if (close != std::string_view::npos) return value.substr(open + 1, close - open - 1);
  }
  const size_t at = value.find('@');
  if (at == std::string_view::npos) return {};
  size_t start = at;
  while (start > 0 && !isBlank(value[start - 1]) && value[start - 1] != '(' &&
         value[start - 1] != '"' && value[start - 1] != ',') {
    --start;
  }
  size_t end = at;
  while (end < value.size() && !isBlank(value[end]) && value[end] != ')' && value[end] != ',') {
    ++end;
  }
  return value.substr(start, end - start);
}

std::string_view domainOf(std::string_view address) {
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos) return {};
  std::string_view domain = address.substr(at + 1);
  while (!domain.empty() && (domain.back() == '.' || domain.back() == '>')) domain.remove_suffix(1);
  return domain;
}

// The last two labels of a domain: "example.com" of "a.b.example.com".
std::string_view baseDomain(std::string_view domain) {
  const size_t last = domain.rfind('.');
  if (last == std::string_view::npos || last == 0) return domain;
  const size_t before = domain.rfind('.', last - 1);
  return before == std::string_view::npos ? domain : domain.substr(before + 1);
}

// The domain and its parents down to two labels, at most four of them: "a.b.example.com",
// "b.example.com", "example.com".
void addDomains(TokenList& tokens, std::string_view prefix, std::string_view domain) {
  while (!domain.empty() && (domain.back() == '.' || domain.back() == '>')) domain.remove_suffix(1);
  if (domain.empty()) return;
  tokens.add(prefix, domain);
  // Each parent starts after one of the first dots and still has a dot of its own.
  size_t dots[5];
  size_t found = 0;
  for (size_t i = 0; i < domain.size() && found < 5; ++i) {
    if (domain[i] == '.') dots[found++] = i;
  }
  for (size_t k = 0; k + 1 < found && k < 4; ++k) tokens.add(prefix, domain.substr(dots[k] + 1));
}

void addAddress(TokenList& tokens, std::string_view kind, std::string_view value) {
  const std::string_view address = addressOf(value);
  if (address.empty()) {
    tokens.add(kind, "noaddress");
    return;
  }
  tokens.add((Piece() << kind << "addr:").view(), address);
  const size_t at = address.rfind('@');
  if (at != std::string_view::npos) {
    addDomains(tokens, (Piece() << kind << "dom:").view(), address.substr(at + 1));
    // The shape of the local part: digits in it are typical of generated senders.
    const std::string_view local = address.substr(0, at);
    if (std::any_of(local.begin(), local.end(), isDigit)) tokens.add(kind, "local-digits");
    Piece shape;
    shapeOf(local, shape);
    tokens.add((Piece() << kind << "local:").view(), shape.view(), false);
  }
}

// An IPv4 address at text[i], as its four numbers; false when there is none.
bool ipv4At(std::string_view text, size_t i, std::array<unsigned, 4>& parts, size_t& end) {
  for (size_t part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    unsigned value = 0;
    size_t digits = 0;
    while (i < text.size() && isDigit(text[i]) && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    parts[part] = value;
  }
  if (i < text.size() && (isDigit(text[i]) || text[i] == '.')) return false;
  end = i;
  return true;
}

// Classes of bytes, for the scans that run over every byte of a field.
enum : uint8_t { kAlnum = 1, kDigit = 2, kLetter = 4, kHostByte = 8, kDot = 16 };
constexpr std::array<uint8_t, 256> byteClasses() {
  std::array<uint8_t, 256> classes{};
  for (size_t i = 0; i < 256; ++i) {
    const char c = static_cast<char>(i);
    classes[i] = static_cast<uint8_t>((isAlnum(c) ? kAlnum | kHostByte : 0) |
                                      (isDigit(c) ? kDigit : 0) | (isLetter(c) ? kLetter : 0) |
                                      (c == '.' || c == '-' ? kHostByte : 0) |
                                      (c == '.' ? kDot : 0));
  }
  return classes;
}
constexpr std::array<uint8_t, 256> kClasses = byteClasses();
bool is(char c, uint8_t kind) { return (kClasses[static_cast<unsigned char>(c)] & kind) != 0; }

// Received: the relays' names and addresses, the addresses also by their /24 and /16.
void addReceived(TokenList& tokens, std::string_view value) {
  size_t count = 0;
  size_t i = 0;
  const size_t size = value.size();
  while (count < kMaxFieldTokens) {
    while (i < size && !is(value[i], kAlnum)) ++i;
    if (i == size) break;
    std::array<unsigned, 4> ip{};
    size_t end = 0;
    if (is(value[i], kDigit) && (i == 0 || !is(value[i - 1], kAlnum)) && ipv4At(value, i, ip, end)) {
      Piece address;
      address << ip[0] << '.' << ip[1];
      tokens.add("rcvd:ip16:", address.view());
      address << '.' << ip[2];
      tokens.add("rcvd:ip24:", address.view());
      address << '.' << ip[3];
      tokens.add("rcvd:ip:", address.view());
      i = end;
      count += 3;
      continue;
    }
    // The word of letters, digits, dots and hyphens, less the dots and hyphens at its end; where
    // its first dot is, and whether it has a letter.
    size_t j = i;
    size_t first_dot = size;
    uint8_t classes = 0;
    for (; j < size; ++j) {
      const uint8_t k = kClasses[static_cast<unsigned char>(value[j])];
      if ((k & kHostByte) == 0) break;
      classes |= k;
      if ((k & kDot) != 0 && first_dot == size) first_dot = j;
    }
    size_t word_end = j;
    while (!is(value[word_end - 1], kAlnum)) --word_end;
    const std::string_view word = value.substr(i, word_end - i);
    const bool letter = (classes & kLetter) != 0;
    if (first_dot < word_end && letter) {
      addDomains(tokens, "rcvd:host:", word);
      ++count;
    } else if (word.size() >= 4 && std::all_of(word.begin(), word.end(), isLetter)) {
      // Protocol words: "ESMTP", "SMTP", "HTTP", "Postfix", "Exim".
      tokens.add("rcvd:word:", word);
    }
    i = j;
  }
}

// What the value of a field gives, by the field's name.
enum class FieldKind : uint8_t {
  kNameOnly, kSubject, kFrom, kAddress, kRecipients, kReceived, kMailer, kContentType,
  kTransferEncoding, kMessageId, kDate, kAsIs
};

struct KnownField {
  std::string_view name;
  FieldKind kind;
};

// The first kCommonFields are the common fields whose absence says something.
constexpr size_t kCommonFields = 17;
constexpr KnownField kKnownFields[] = {
    {"date", FieldKind::kDate},
    {"message-id", FieldKind::kMessageId},
    {"from", FieldKind::kFrom},
    {"to", FieldKind::kRecipients},
    {"subject", FieldKind::kSubject},
    {"mime-version", FieldKind::kAsIs},
    {"content-type", FieldKind::kContentType},
    {"reply-to", FieldKind::kAddress},
    {"received", FieldKind::kReceived},
    {"x-mailer", FieldKind::kMailer},
    {"user-agent", FieldKind::kMailer},
    {"cc", FieldKind::kRecipients},
    {"list-id", FieldKind::kAsIs},
    {"references", FieldKind::kNameOnly},
    {"in-reply-to", FieldKind::kNameOnly},
    {"return-path", FieldKind::kAddress},
    {"content-transfer-encoding", FieldKind::kTransferEncoding},
    {"sender", FieldKind::kAddress},
    {"errors-to", FieldKind::kAddress},
    {"precedence", FieldKind::kAsIs},
    {"x-priority", FieldKind::kAsIs},
    {"x-msmail-priority", FieldKind::kAsIs},
    {"importance", FieldKind::kAsIs},
};

// The known fields by a hash of a name's size and its first and last bytes: one look and one
// comparison a field, where comparing with each name in turn was some forty.
constexpr size_t bucketOf(std::string_view name) {
  return (name.size() + static_cast<unsigned char>(name.front()) +
          13 * static_cast<unsigned char>(name.back())) & 63;
}
constexpr std::array<int8_t, 64> knownBuckets() {
  std::array<int8_t, 64> buckets{};
  buckets.fill(-1);
  for (size_t i = 0; i < std::size(kKnownFields); ++i) {
    buckets[bucketOf(kKnownFields[i].name)] = static_cast<int8_t>(i);
  }
  return buckets;
}
constexpr std::array<int8_t, 64> kBuckets = knownBuckets();
constexpr bool eachInItsOwnBucket() {
  for (size_t i = 0; i < std::size(kKnownFields); ++i) {
    if (kBuckets[bucketOf(kKnownFields[i].name)] != static_cast<int8_t>(i)) return false;
  }
  return true;
}
static_assert(eachInItsOwnBucket(), "two known field names share a bucket");

// The index of a (lower-case) field name in kKnownFields; -1 when it is none of them.
int knownField(std::string_view name) {
  if (name.empty()) return -1;
  const int i = kBuckets[bucketOf(name)];
  return i >= 0 && kKnownFields[i].name == name ? i : -1;
}

// The value of a "name=value" parameter of a structured field; "" when absent.
std::string_view parameter(std::string_view value, std::string_view name) {
  size_t at = 0;
  while (at + name.size() <= value.size()) {
    // The first byte alone rules out most places (name is lower case).
    if (lower(value[at]) != name.front() || !equalFolded(value.substr(at, name.size()), name)) {
      ++at;
      continue;
    }
    const bool starts = at == 0 || value[at - 1] == ';' || isBlank(value[at - 1]);
    size_t eq = at + name.size();
    while (eq < value.size() && isBlank(value[eq])) ++eq;
    if (starts && eq < value.size() && value[eq] == '=') {
      size_t begin = eq + 1;
      while (begin < value.size() && (isBlank(value[begin]) || value[begin] == '"')) ++begin;
      size_t end = begin;
      while (end < value.size() && value[end] != '"' && value[end] != ';' && !isBlank(value[end])) {
        ++end;
      }
      return value.substr(begin, end - begin);
    }
    at += name.size();
  }
  return {};
}

// The charsets that the encoded words of text name.
void addCharsets(TokenList& tokens, std::string_view prefix, std::string_view text) {
  size_t at = 0;
  size_t count = 0;
  while ((at = text.find("=?", at)) != std::string_view::npos && count < 4) {
    const size_t end = text.find('?', at + 2);
    if (end == std::string_view::npos) break;
    tokens.add(prefix, text.substr(at + 2, std::min<size_t>(end - at - 2, kMaxWord)));
    ++count;
    at = end + 1;
  }
}

// The text with its encoded words decoded, into room; the text itself when it has none (most
// have none, and judging a header should not copy it).
std::string_view decodedText(std::string_view text, std::string& room) {
  if (text.find("=?") == std::string_view::npos) return text;
  room = decodeEncodedWords(text);
  return room;
}

void addSubject(TokenList& tokens, std::string_view value) {
  std::string room;
  const std::string_view decoded = decodedText(value, room);
  if (decoded != value) {
    tokens.add("subj:", "=encoded");
    addCharsets(tokens, "subj:charset:", value);
  }
  std::string_view previous;
  eachWord(decoded, [&](std::string_view word) {
    tokens.add("subj:", word);
    if (!previous.empty()) {
      // Pairs of words: "free+money" says more than "free" and "money".
      tokens.add("subj:", (Piece() << previous.substr(0, kMaxWord / 2) << '+'
                                   << word.substr(0, kMaxWord / 2)).view());
    }
    previous = word;
  });
  size_t letters = 0;
  size_t upper = 0;
  for (const char c : decoded) {
    if (isLetter(c)) ++letters;
    if (c >= 'A' && c <= 'Z') ++upper;
    if (c == '!' || c == '$' || c == '%' || c == '?') tokens.add("subj:punct:", {&c, 1});
    if (static_cast<unsigned char>(c) >= 0x80 && value == decoded) tokens.add("subj:", "=8bit");
  }
  if (letters >= 6 && upper * 10 >= letters * 7) tokens.add("subj:", "=shouting");
  if (decoded.empty()) tokens.add("subj:", "=empty");
  // A number after a run of blanks at the end: a tag that tells the copies of a mailing apart.
  std::string_view rest = decoded;
  while (!rest.empty() && isBlank(rest.back())) rest.remove_suffix(1);
  size_t digits = 0;
  while (digits < rest.size() && isDigit(rest[rest.size() - 1 - digits])) ++digits;
  if (digits > 0 && digits < rest.size() && isBlank(rest[rest.size() - 1 - digits])) {
    tokens.add("subj:", "=trailing-number");
  }
  if (decoded.find("   ") != std::string_view::npos) tokens.add("subj:", "=blank-run");
}

void addFrom(TokenList& tokens, std::string_view value) {
  addAddress(tokens, "from:", value);
  const size_t open = value.rfind('<');
  if (open == std::string_view::npos || open == 0) tokens.add("from:", "noname");
  if (open == std::string_view::npos) return;
  const std::string_view raw_name = value.substr(0, open);
  if (raw_name.find("=?") != std::string_view::npos) addCharsets(tokens, "from:charset:", raw_name);
  std::string room;
  const std::string_view name = decodedText(raw_name, room);
  eachWord(name, [&](std::string_view word) { tokens.add("from:name:", word); });
  // How the display name relates to the address.
  if (name.find('@') != std::string_view::npos) tokens.add("from:name:", "=address");
  if (name.find('"') != std::string_view::npos) tokens.add("from:name:", "=quoted");
  const std::string_view address = addressOf(value);
  const std::string_view local = address.substr(0, address.find('@'));
  bool local_in_name = false;
  eachWord(name, [&](std::string_view word) { local_in_name = local_in_name || equalFolded(word, local); });
  if (local_in_name) tokens.add("from:name:", "=local-part");
  Piece shape;
  shapeOf(name, shape);
  tokens.add("from:name:shape:", shape.view(), false);
}

void addMessageId(TokenList& tokens, std::string_view value, std::string_view from_domain) {
  const size_t at = value.rfind('@');
  if (at == std::string_view::npos) {
    tokens.add("mid:", "noat");
  } else {
    addDomains(tokens, "mid:dom:", value.substr(at + 1));
  }
  Piece shape;
  shapeOf(value.substr(0, at), shape);
  tokens.add("mid:shape:", shape.view(), false);
  std::string_view domain = at == std::string_view::npos ? std::string_view() : value.substr(at + 1);
  while (!domain.empty() && (domain.back() == '>' || isBlank(domain.back()))) domain.remove_suffix(1);
  if (!from_domain.empty() && !domain.empty()) {
    tokens.add("mid:", equalFolded(baseDomain(domain), baseDomain(from_domain)) ? "=from-domain"
                                                                               : "=other-domain");
  }
}

void addField(TokenList& tokens, FieldKind kind, std::string_view name, std::string_view value,
              std::string_view from_domain) {
  switch (kind) {
    case FieldKind::kNameOnly:
      break;
    case FieldKind::kSubject:
      addSubject(tokens, value);
      break;
    case FieldKind::kFrom:
      addFrom(tokens, value);
      break;
    case FieldKind::kAddress:
      addAddress(tokens, (Piece() << name << ':').view(), value);
      break;
    case FieldKind::kRecipients: {
      const auto recipients = static_cast<unsigned>(std::count(value.begin(), value.end(), '@'));
      const std::string_view prefix = name == "to" ? "to:count:" : "cc:count:";
      if (recipients >= 6) {
        tokens.add(prefix, "6+");
      } else {
        tokens.add(prefix, (Piece() << recipients).view());
      }
      eachWord(value, [&](std::string_view word) {
        if (equalFolded(word, "undisclosed")) tokens.add(name == "to" ? "to:" : "cc:", "undisclosed");
      });
      if (recipients == 1) addDomains(tokens, name == "to" ? "to:dom:" : "cc:dom:", domainOf(addressOf(value)));
      break;
    }
    case FieldKind::kReceived:
      addReceived(tokens, value);
      break;
    case FieldKind::kMailer:
      tokens.add("mailer:", value);
      eachWord(value, [&](std::string_view word) { tokens.add("mailer:word:", word); });
      break;
    case FieldKind::kContentType: {
      std::string_view type = value.substr(0, value.find(';'));
      while (!type.empty() && isBlank(type.back())) type.remove_suffix(1);
      while (!type.empty() && isBlank(type.front())) type.remove_prefix(1);
      tokens.add("ctype:", type);
      const std::string_view charset = parameter(value, "charset");
      if (!charset.empty()) tokens.add("charset:", charset);
      const std::string_view boundary = parameter(value, "boundary");
      if (!boundary.empty()) {
        Piece shape;
        shapeOf(boundary, shape);
        tokens.add("ctype:boundary:", shape.view(), false);
      }
      break;
    }
    case FieldKind::kTransferEncoding:
      tokens.add("cte:", value);
      break;
    case FieldKind::kMessageId:
      addMessageId(tokens, value, from_domain);
      break;
    case FieldKind::kDate: {
      // The time zone, whether the day of the week is there, and the form of the whole.
      const size_t last = value.find_last_of(" \t");
      if (last != std::string_view::npos) tokens.add("date:zone:", value.substr(last + 1));
      if (value.empty() || !isAlnum(value.front()) || isDigit(value.front())) {
        tokens.add("date:", "noweekday");
      }
      Piece shape;
      shapeOf(value, shape);
      tokens.add("date:shape:", shape.view(), false);
      break;
    }
    case FieldKind::kAsIs:
      tokens.add((Piece() << name << ':').view(), value);
      break;
  }
}

// Whether a field name is written as most are: each part after a hyphen with a capital first
// and the rest in lower case ("Message-Id", "X-Mailer").
bool isCommonForm(std::string_view name) {
  bool first = true;
  for (const char c : name) {
    if (c == '-') {
      first = true;
      continue;
    }
    if (first ? (c >= 'a' && c <= 'z') : (c >= 'A' && c <= 'Z')) return false;
    first = false;
  }
  return true;
}

// A field name, folded to lower case and cut to a word's length, on the stack.
struct FieldName {
  char data[kMaxWord];
  size_t size = 0;
  explicit FieldName(std::string_view name) {
    size = std::min(name.size(), kMaxWord);
    for (size_t i = 0; i < size; ++i) data[i] = lower(name[i]);
  }
  std::string_view view() const { return {data, size}; }
};

}  // namespace

namespace {

// What each byte becomes in a token: blanks and control characters "_", and with folding ASCII
// letters lower case.
constexpr std::array<char, 256> byteMap(bool fold) {
  std::array<char, 256> map{};
  for (size_t i = 0; i < 256; ++i) {
    const char c = static_cast<char>(i);
    map[i] = i <= ' ' || i == 0x7f ? '_' : fold ? lower(c) : c;
  }
  return map;
}
constexpr std::array<char, 256> kFolded = byteMap(true);
constexpr std::array<char, 256> kAsIs = byteMap(false);

}  // namespace

namespace {

// What byteMap does, to eight bytes at once: the bytes at or below a blank and DEL become "_",
// with kFold the ASCII capitals lower case, the rest stays. Each byte's low seven bits plus a
// constant carry into its top bit just when they pass a bound, never into the next byte.
template <bool kFold>
inline uint64_t mapWord(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kTops = kOnes * 0x80;
  const uint64_t ascii = ~x & kTops;
  const uint64_t low = x & ~kTops;
  const uint64_t printable = (low + kOnes * (0x80 - 0x21)) & ~(low + kOnes);  // 0x21 to 0x7e
  const uint64_t blanks = ((ascii & ~printable) >> 7) * 0xff;
  uint64_t out = x;
  if constexpr (kFold) {
    const uint64_t upper = (low + kOnes * (0x80 - 'A')) & ~(low + kOnes * (0x80 - 'Z' - 1));
    out |= (upper & ascii) >> 2;
  }
  return (out & ~blanks) | (kOnes * '_' & blanks);
}

// Feeds prefix as it is and text through mapWord, eight bytes at a time.
template <bool kFold>
uint64_t hashOf(std::string_view prefix, std::string_view text) {
  TokenHasher hasher(prefix.size() + text.size());
  size_t i = 0;
  for (; i + 8 <= prefix.size(); i += 8) hasher.bytes(TokenHasher::load(prefix.data() + i, 8), 8);
  if (i < prefix.size()) {
    hasher.bytes(TokenHasher::load(prefix.data() + i, prefix.size() - i), prefix.size() - i);
  }
  for (i = 0; i + 8 <= text.size(); i += 8) {
    hasher.bytes(mapWord<kFold>(TokenHasher::load(text.data() + i, 8)), 8);
  }
  if (i < text.size()) {
    const size_t n = text.size() - i;
    // The bytes above the text's are zero before mapping, and must be after.
    const uint64_t mapped = mapWord<kFold>(TokenHasher::load(text.data() + i, n));
    hasher.bytes(mapped & ((uint64_t{1} << (8 * n)) - 1), n);
  }
  return hasher.done();
}

}  // namespace

void TokenList::add(std::string_view prefix, std::string_view text, bool fold) {
  if (made_ >= kMaxTokensPerHeader || text.empty()) return;
  ++made_;
  prefix = prefix.substr(0, kMaxPrefix);
  text = text.substr(0, kMaxWord);
  if (keep_texts_) {
    const auto& map = fold ? kFolded : kAsIs;
    std::string& made = texts_.emplace_back(prefix);
    for (const char c : text) made += map[static_cast<unsigned char>(c)];
  }
  // Hashed from words in registers as the token is made: laying it out in memory and reading it
  // back as words stalls on every word.
  const uint64_t hash = fold ? hashOf<true>(prefix, text) : hashOf<false>(prefix, text);
  if (firstSeen(hash)) hashes_.push_back(hash);
}

TokenList::TokenList(bool keep_texts)
    : keep_texts_(keep_texts), seen_(kSeenSlots, 0), taken_(kMaxTokensPerHeader) {}

bool TokenList::firstSeen(uint64_t hash) {
  if (hash == 0) {
    const bool fresh = !zero_seen_;
    zero_seen_ = true;
    return fresh;
  }
  size_t i = static_cast<size_t>(hash >> 40) & (kSeenSlots - 1);
  while (seen_[i] != 0) {
    if (seen_[i] == hash) return false;
    i = (i + 1) & (kSeenSlots - 1);
  }
  seen_[i] = hash;
  taken_[taken_count_++] = static_cast<uint16_t>(i);
  return true;
}

void TokenList::clear() {
  made_ = 0;
  hashes_.clear();
  texts_.clear();
  for (size_t k = 0; k < taken_count_; ++k) seen_[taken_[k]] = 0;
  taken_count_ = 0;
  zero_seen_ = false;
}

void TokenList::dedupe() {
  if (!keep_texts_) return;
  std::sort(texts_.begin(), texts_.end());
  texts_.erase(std::unique(texts_.begin(), texts_.end()), texts_.end());
}

std::string decodeEncodedWords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  size_t after_word = std::string_view::npos;  // where the last encoded word ended
  while (i < text.size()) {
    size_t end = 0;
    std::string decoded;
    if (text[i] == '=' && encodedWord(text, i, decoded, end)) {
      // Blanks between two encoded words are not part of the text.
      if (after_word != std::string_view::npos &&
          text.substr(after_word, i - after_word).find_first_not_of(" \t\r\n") ==
              std::string_view::npos) {
        out.resize(out.size() - (i - after_word));
      }
      out += decoded;
      i = end;
      after_word = end;
      continue;
    }
    out += text[i];
    ++i;
  }
  return out;
}

void tokenize(const MessageHeader& header, TokenList& tokens) {
  bool present[kCommonFields] = {};
  unsigned received = 0;
  std::string_view from_domain;
  for (const auto& field : header.fields()) {
    if (equalFolded(field.first, "from")) from_domain = domainOf(addressOf(field.second));
  }
  FieldName previous("");
  size_t ordered = 0;
  for (const auto& field : header.fields()) {
    const FieldName folded(field.first);
    const std::string_view name = folded.view();
    // The fields the program adds itself (the quarantine's verdict) say nothing of the sender.
    if (name.substr(0, 13) == "x-pollensift-") continue;
    tokens.add("field:", name);
    // The name as written when it is not in the common form ("Message-ID", "MIME-Version",
    // "X-MIMEOLE"), and which field follows which: each mailer writes its own.
    if (!isCommonForm(field.first)) tokens.add("name:", field.first, false);
    if (ordered++ < kMaxFieldTokens) {
      tokens.add("order:", (Piece() << previous.view() << '>' << name).view());
    }
    previous = folded;
    const int known = knownField(name);
    if (known < 0) continue;
    if (static_cast<size_t>(known) < kCommonFields) present[known] = true;
    const FieldKind kind = kKnownFields[known].kind;
    if (kind == FieldKind::kReceived) ++received;
    addField(tokens, kind, name, field.second, from_domain);
  }
  for (size_t i = 0; i < kCommonFields; ++i) {
    if (!present[i]) tokens.add("no:", kKnownFields[i].name);
  }
  if (received >= 8) {
    tokens.add("rcvd:count:", "8+");
  } else {
    tokens.add("rcvd:count:", (Piece() << received).view());
  }
}

std::vector<std::string> headerTokens(const MessageHeader& header) {
  TokenList tokens(true);
  tokenize(header, tokens);
  tokens.dedupe();
  return std::move(tokens.texts());
}

}  // namespace learn
