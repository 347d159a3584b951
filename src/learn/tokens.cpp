// The tokens of a header. Every token is printable: no blank and no control character, so that it
// fits on one line of the learned-token file and reaches the terminal safely.

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "header/message_header.h"
#include "learn/learn.h"

namespace learn {
namespace {

// Bounds against a hostile header: tokens taken from one field, and in all.
constexpr size_t kMaxFieldTokens = 64;
constexpr size_t kMaxTokensPerHeader = 1000;
constexpr size_t kMaxWord = 40;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

bool isAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
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

class Tokens {
 public:
  void add(std::string_view prefix, std::string_view text) {
    if (all_.size() >= kMaxTokensPerHeader || text.empty()) return;
    std::string token(prefix);
    token.reserve(prefix.size() + std::min(text.size(), kMaxWord));
    for (const char c : text.substr(0, kMaxWord)) {
      const auto byte = static_cast<unsigned char>(c);
      token += byte <= ' ' || byte == 0x7f ? '_' : lower(c);
    }
    all_.push_back(std::move(token));
  }
  std::vector<std::string> take() {
    std::sort(all_.begin(), all_.end());
    all_.erase(std::unique(all_.begin(), all_.end()), all_.end());
    return std::move(all_);
  }

 private:
  std::vector<std::string> all_;
};

// Words: runs of letters, digits and 8-bit bytes (the letters of other scripts), each cut to
// kMaxWord; a longer run is one "long" word.
template <typename Fn>
void eachWord(std::string_view text, Fn fn) {
  size_t count = 0;
  size_t i = 0;
  while (i < text.size() && count < kMaxFieldTokens) {
    const auto word = [](char c) { return isAlnum(c) || static_cast<unsigned char>(c) >= 0x80; };
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

// The domain and its parents down to two labels: "a.b.example.com", "b.example.com",
// "example.com".
void addDomains(Tokens& tokens, std::string_view prefix, std::string_view domain) {
  while (!domain.empty() && (domain.back() == '.' || domain.back() == '>')) domain.remove_suffix(1);
  if (domain.empty()) return;
  tokens.add(prefix, domain);
  for (int level = 0; level < 4; ++level) {
    const size_t dot = domain.find('.');
    if (dot == std::string_view::npos || domain.find('.', dot + 1) == std::string_view::npos) break;
    domain.remove_prefix(dot + 1);
    tokens.add(prefix, domain);
  }
}

void addAddress(Tokens& tokens, std::string_view kind, std::string_view value) {
  const std::string_view address = addressOf(value);
  if (address.empty()) {
    tokens.add(kind, "noaddress");
    return;
  }
  tokens.add(std::string(kind) + "addr:", address);
  const size_t at = address.rfind('@');
  if (at != std::string_view::npos) {
    addDomains(tokens, std::string(kind) + "dom:", address.substr(at + 1));
    // The shape of the local part: digits in it are typical of generated senders.
    const std::string_view local = address.substr(0, at);
    const bool digits = std::any_of(local.begin(), local.end(), isDigit);
    if (digits) tokens.add(kind, "local-digits");
  }
}

// An IPv4 address at text[i], as its four numbers; false when there is none.
bool ipv4At(std::string_view text, size_t i, std::array<int, 4>& parts, size_t& end) {
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    int value = 0;
    size_t digits = 0;
    while (i < text.size() && isDigit(text[i]) && digits < 4) {
      value = value * 10 + (text[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    parts[static_cast<size_t>(part)] = value;
  }
  if (i < text.size() && (isDigit(text[i]) || text[i] == '.')) return false;
  end = i;
  return true;
}

// Received: the relays' names and addresses, the addresses also by their /24 and /16.
void addReceived(Tokens& tokens, std::string_view value) {
  size_t count = 0;
  size_t i = 0;
  while (i < value.size() && count < kMaxFieldTokens) {
    const char c = value[i];
    if (!isAlnum(c)) {
      ++i;
      continue;
    }
    std::array<int, 4> ip{};
    size_t end = 0;
    if ((i == 0 || !isAlnum(value[i - 1])) && ipv4At(value, i, ip, end)) {
      const std::string a = std::to_string(ip[0]) + "." + std::to_string(ip[1]);
      const std::string b = a + "." + std::to_string(ip[2]);
      tokens.add("rcvd:ip:", b + "." + std::to_string(ip[3]));
      tokens.add("rcvd:ip24:", b);
      tokens.add("rcvd:ip16:", a);
      i = end;
      count += 3;
      continue;
    }
    size_t j = i;
    while (j < value.size() && (isAlnum(value[j]) || value[j] == '.' || value[j] == '-')) ++j;
    std::string_view word = value.substr(i, j - i);
    while (!word.empty() && (word.back() == '.' || word.back() == '-')) word.remove_suffix(1);
    const bool host = word.find('.') != std::string_view::npos &&
                      std::any_of(word.begin(), word.end(), [](char ch) {
                        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
                      });
    if (host) {
      addDomains(tokens, "rcvd:host:", word);
      ++count;
    } else if (word.size() >= 4 && std::all_of(word.begin(), word.end(), [](char ch) {
                 return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
               })) {
      // Protocol words: "ESMTP", "SMTP", "HTTP", "Postfix", "Exim".
      tokens.add("rcvd:word:", word);
    }
    i = j;
  }
}

// The common fields whose absence says something.
constexpr std::string_view kCommonFields[] = {
    "date",         "message-id", "from",     "to",           "subject",   "mime-version",
    "content-type", "reply-to",   "received", "x-mailer",     "user-agent", "cc",
    "list-id",      "references", "in-reply-to", "return-path", "content-transfer-encoding"};

// The value of a "name=value" parameter of a structured field, lowered; "" when absent.
std::string parameter(std::string_view value, std::string_view name) {
  const std::string low = lowered(value);
  size_t at = 0;
  while ((at = low.find(name, at)) != std::string::npos) {
    const bool starts = at == 0 || low[at - 1] == ';' || isBlank(low[at - 1]);
    size_t eq = at + name.size();
    while (eq < low.size() && isBlank(low[eq])) ++eq;
    if (starts && eq < low.size() && low[eq] == '=') {
      size_t begin = eq + 1;
      while (begin < low.size() && (isBlank(low[begin]) || low[begin] == '"')) ++begin;
      size_t end = begin;
      while (end < low.size() && low[end] != '"' && low[end] != ';' && !isBlank(low[end])) ++end;
      return low.substr(begin, end - begin);
    }
    at += name.size();
  }
  return {};
}

void addSubject(Tokens& tokens, std::string_view value) {
  const std::string decoded = decodeEncodedWords(value);
  if (decoded.size() != value.size() || decoded != value) tokens.add("subj:", "=encoded");
  eachWord(decoded, [&](std::string_view word) { tokens.add("subj:", word); });
  size_t letters = 0;
  size_t upper = 0;
  for (const char c : decoded) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) ++letters;
    if (c >= 'A' && c <= 'Z') ++upper;
    if (c == '!' || c == '$' || c == '%' || c == '?') tokens.add("subj:punct:", {&c, 1});
    if (static_cast<unsigned char>(c) >= 0x80 && value == decoded) tokens.add("subj:", "=8bit");
  }
  if (letters >= 6 && upper * 10 >= letters * 7) tokens.add("subj:", "=shouting");
  if (decoded.empty()) tokens.add("subj:", "=empty");
}

void addField(Tokens& tokens, const std::string& name, std::string_view value) {
  if (name == "subject") {
    addSubject(tokens, value);
  } else if (name == "from") {
    addAddress(tokens, "from:", value);
    const size_t open = value.rfind('<');
    if (open == std::string_view::npos || open == 0) tokens.add("from:", "noname");
    if (open != std::string_view::npos) {
      eachWord(decodeEncodedWords(value.substr(0, open)),
               [&](std::string_view word) { tokens.add("from:name:", word); });
    }
  } else if (name == "reply-to" || name == "return-path" || name == "sender" ||
             name == "errors-to") {
    addAddress(tokens, name + ":", value);
  } else if (name == "to" || name == "cc") {
    const size_t recipients = static_cast<size_t>(std::count(value.begin(), value.end(), '@'));
    tokens.add(name + ":count:", recipients >= 6 ? "6+" : std::to_string(recipients));
    if (lowered(value).find("undisclosed") != std::string::npos) tokens.add(name + ":", "undisclosed");
  } else if (name == "received") {
    addReceived(tokens, value);
  } else if (name == "x-mailer" || name == "user-agent") {
    tokens.add("mailer:", value);
    eachWord(value, [&](std::string_view word) { tokens.add("mailer:word:", word); });
  } else if (name == "content-type") {
    std::string_view type = value.substr(0, value.find(';'));
    while (!type.empty() && isBlank(type.back())) type.remove_suffix(1);
    while (!type.empty() && isBlank(type.front())) type.remove_prefix(1);
    tokens.add("ctype:", type);
    const std::string charset = parameter(value, "charset");
    if (!charset.empty()) tokens.add("charset:", charset);
  } else if (name == "content-transfer-encoding") {
    tokens.add("cte:", value);
  } else if (name == "message-id") {
    const size_t at = value.rfind('@');
    if (at == std::string_view::npos) {
      tokens.add("mid:", "noat");
    } else {
      addDomains(tokens, "mid:dom:", value.substr(at + 1));
    }
  } else if (name == "date") {
    // The time zone and whether the day of the week is there.
    const size_t last = value.find_last_of(" \t");
    if (last != std::string_view::npos) tokens.add("date:zone:", value.substr(last + 1));
    if (value.empty() || !isAlnum(value.front()) || isDigit(value.front())) {
      tokens.add("date:", "noweekday");
    }
  } else if (name == "list-id" || name == "precedence" || name == "x-priority" ||
             name == "x-msmail-priority" || name == "importance" || name == "mime-version") {
    tokens.add(name + ":", value);
  }
}

}  // namespace

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

std::vector<std::string> headerTokens(const MessageHeader& header) {
  Tokens tokens;
  std::vector<bool> present(std::size(kCommonFields), false);
  size_t received = 0;
  for (const auto& field : header.fields()) {
    const std::string name = lowered(field.first.substr(0, kMaxWord));
    // The fields the program adds itself (the quarantine's verdict) say nothing of the sender.
    if (name.rfind("x-pollensift-", 0) == 0) continue;
    tokens.add("field:", name);
    for (size_t i = 0; i < std::size(kCommonFields); ++i) {
      if (name == kCommonFields[i]) present[i] = true;
    }
    if (name == "received") ++received;
    addField(tokens, name, field.second);
  }
  for (size_t i = 0; i < std::size(kCommonFields); ++i) {
    if (!present[i]) tokens.add("no:", kCommonFields[i]);
  }
  tokens.add("rcvd:count:", received >= 8 ? "8+" : std::to_string(received));
  return tokens.take();
}

}  // namespace learn
