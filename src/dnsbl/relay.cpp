#include "dnsbl/relay.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <vector>

namespace dnsbl {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

bool equalsNoCase(std::string_view text, std::string_view word) {
  return text.size() == word.size() && startsWithNoCase(text, word);
}

// A bit prefix of an address: the first bits of bytes equal those of net.
bool within(const uint8_t* bytes, std::initializer_list<uint8_t> net, int bits) {
  const uint8_t* n = net.begin();
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    const uint8_t mask = bits >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - bits));
    if ((bytes[i] & mask) != (n[i] & mask)) return false;
  }
  return true;
}

// One piece of a from-clause: a word, or what a pair of brackets holds (brackets dropped), with
// the depth of parentheses it stands in.
struct Piece {
  std::string_view text;
  int depth;
  bool bracketed;
};

std::vector<Piece> pieces(std::string_view clause) {
  std::vector<Piece> found;
  int depth = 0;
  size_t at = 0;
  while (at < clause.size()) {
    const char c = clause[at];
    if (c == '(') {
      ++depth;
      ++at;
    } else if (c == ')') {
      if (depth > 0) --depth;
      ++at;
    } else if (c == '[') {
      const size_t end = clause.find(']', at + 1);
      if (end == std::string_view::npos) break;
      found.push_back({clause.substr(at + 1, end - at - 1), depth, true});
      at = end + 1;
    } else if (std::isspace(static_cast<unsigned char>(c)) != 0 || c == ',' || c == ';' ||
               c == ']') {
      ++at;
    } else {
      size_t end = at;
      while (end < clause.size() &&
             std::string_view(" \t\r\n()[],;").find(clause[end]) == std::string_view::npos) {
        ++end;
      }
      found.push_back({clause.substr(at, end - at), depth, false});
      at = end;
    }
  }
  return found;
}

// The words that end a from-clause when they stand outside any comment.
bool endsClause(const Piece& piece) {
  if (piece.depth != 0 || piece.bracketed) return false;
  for (const char* word : {"by", "with", "id", "via", "for"}) {
    if (equalsNoCase(piece.text, word)) return true;
  }
  return false;
}

}  // namespace

Scope scopeOf(const Address& address) {
  const uint8_t* b = address.bytes.data();
  if (!address.v6) {
    if (within(b, {0}, 8) || within(b, {224}, 4) || within(b, {240}, 4)) return Scope::kReserved;
    if (within(b, {10}, 8) || within(b, {172, 16}, 12) || within(b, {192, 168}, 16)) {
      return Scope::kPrivate;
    }
    if (within(b, {127}, 8)) return Scope::kLoopback;
    if (within(b, {169, 254}, 16)) return Scope::kLinkLocal;
    if (within(b, {100, 64}, 10)) return Scope::kCgnat;
    return Scope::kPublic;
  }
  static constexpr std::array<uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
  if (address.bytes == kLoopback) return Scope::kLoopback;
  if (address.bytes == std::array<uint8_t, 16>{}) return Scope::kReserved;
  if (within(b, {0xfe, 0x80}, 10)) return Scope::kLinkLocal;
  if (within(b, {0xfe, 0xc0}, 10)) return Scope::kPrivate;  // the site-local addresses of old
  if (within(b, {0xfc}, 7)) return Scope::kUniqueLocal;
  if (within(b, {0xff}, 8)) return Scope::kReserved;
  return Scope::kPublic;
}

std::optional<Address> parseAddress(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  const bool tagged = startsWithNoCase(text, "ipv6:");
  if (tagged) text.remove_prefix(5);
  if (text.empty() || text.size() > 45) return std::nullopt;
  const std::string copy(text);
  Address address;
  if (!tagged && inet_pton(AF_INET, copy.c_str(), address.bytes.data()) == 1) return address;
  if (inet_pton(AF_INET6, copy.c_str(), address.bytes.data()) != 1) return std::nullopt;
  address.v6 = true;
  if (within(address.bytes.data(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, 96)) {
    Address mapped;
    std::copy(address.bytes.begin() + 12, address.bytes.end(), mapped.bytes.begin());
    return mapped;
  }
  return address;
}

std::string addressText(const Address& address) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text);
  return text;
}

std::string queryName(const Address& address, std::string_view zone) {
  std::string name;
  if (!address.v6) {
    for (int i = 3; i >= 0; --i)
      name += std::to_string(address.bytes[static_cast<size_t>(i)]) + ".";
  } else {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i) {
      const uint8_t byte = address.bytes[static_cast<size_t>(i)];
      name += kDigits[byte & 0x0f];
      name += '.';
      name += kDigits[byte >> 4];
      name += '.';
    }
  }
  return name.append(zone);
}

std::optional<Address> receivedFrom(std::string_view value) {
  const size_t start = value.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || !startsWithNoCase(value.substr(start), "from")) {
    return std::nullopt;
  }
  // "fromage ..." is no from-clause.
  if (start + 4 < value.size() && std::isspace(static_cast<unsigned char>(value[start + 4])) == 0) {
    return std::nullopt;
  }
  const std::vector<Piece> all = pieces(value.substr(start + 4));
  size_t end = 0;
  while (end < all.size() && !endsClause(all[end])) ++end;
  // The receiving server's note says whom it spoke to; a HELO name is what the sender claimed.
  bool after_helo = false;
  for (size_t i = 1; i < end; ++i) {
    const Piece& piece = all[i];
    if (piece.depth == 0) continue;
    // "HELO name", "helo=name", "helo=[address]".
    if (!piece.bracketed &&
        (equalsNoCase(piece.text, "helo") || equalsNoCase(piece.text, "ehlo") ||
         equalsNoCase(piece.text, "helo=") || equalsNoCase(piece.text, "ehlo="))) {
      after_helo = true;
      continue;
    }
    const bool helo_argument = after_helo || startsWithNoCase(piece.text, "helo=") ||
                               startsWithNoCase(piece.text, "ehlo=");
    after_helo = false;
    if (helo_argument) continue;
    if (std::optional<Address> address = parseAddress(piece.text)) return address;
  }
  if (end > 0 && all.front().depth == 0) return parseAddress(all.front().text);
  return std::nullopt;
}

}  // namespace dnsbl
