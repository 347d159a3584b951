#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dnsbl {

// An IPv4 or IPv6 address as the network carries it.
struct Address {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};  // IPv4 in the first four
  bool operator==(const Address&) const = default;
};

// What kind of network an address belongs to. Only a public address can be the relay that
// handed a message over from outside; the others are the provider's own hops.
enum class Scope { kPublic, kPrivate, kLoopback, kLinkLocal, kCgnat, kUniqueLocal, kReserved };
Scope scopeOf(const Address& address);

// A literal address as Received lines write it: "203.0.113.7", "[203.0.113.7]",
// "IPv6:2001:db8::1", "[IPv6:2001:db8::1]"; an IPv4-mapped IPv6 address is taken as IPv4.
std::optional<Address> parseAddress(std::string_view text);

// "203.0.113.7", "2001:db8::1".
std::string addressText(const Address& address);

// The name a list is asked under: "7.113.0.203.zone", or for IPv6 the 32 nibbles reversed.
std::string queryName(const Address& address, std::string_view zone);

// The address that the from-clause of a Received field's value names as the sending host: the
// one in the receiving server's own note (in parentheses, not a HELO argument), else a literal
// host name. nullopt when the field has no from-clause or names no address.
std::optional<Address> receivedFrom(std::string_view value);

}  // namespace dnsbl
