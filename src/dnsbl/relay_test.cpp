#include "dnsbl/relay.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace dnsbl {
namespace {

std::string fromOf(const char* value) {
  const std::optional<Address> address = receivedFrom(value);
  return address ? addressText(*address) : "-";
}

TEST(ReceivedFrom, TakesTheAddressTheReceivingServerNoted) {
  struct Case {
    const char* value;
    const char* address;  // "-" for none
  };
  const Case cases[] = {
      // The common servers' forms.
      {"from mx.example.com (mx.example.com [203.0.113.7]) by mx.provider.net (Postfix) with "
       "ESMTPS id 4F; Fri, 11 Dec 2026 10:00:00 +0000",
       "203.0.113.7"},
      {"from host.example ([203.0.113.8] helo=forged.example) by mail.provider.net with esmtp",
       "203.0.113.8"},
      {"from [203.0.113.9] (helo=foo) by mail.provider.net", "203.0.113.9"},
      {"from unknown (HELO foo) (203.0.113.10) by mail.provider.net with SMTP", "203.0.113.10"},
      {"from host (host [203.0.113.11] (may be forged)) by mail.provider.net", "203.0.113.11"},
      {"from DM6PR.namprd.prod.outlook.com (2603:10b6:5:1d0::11) by BN8PR.outlook.com with "
       "Microsoft SMTP Server",
       "2603:10b6:5:1d0::11"},
      {"from mail.example (mail.example [IPv6:2001:db8::25]) by mx.provider.net", "2001:db8::25"},
      {"from mail.example (IPv6:2001:db8::26) by mx.provider.net", "2001:db8::26"},
      {"from foo (unknown [::ffff:203.0.113.12]) by bar", "203.0.113.12"},
      // A HELO argument is what the sender claimed, not whom the server spoke to.
      {"from [198.51.100.1] (unknown [203.0.113.13]) by mx", "203.0.113.13"},
      {"from x (HELO [198.51.100.2]) ([203.0.113.14]) by mx", "203.0.113.14"},
      {"from x (helo=[198.51.100.3]) by mx", "-"},
      // Only the from-clause counts: the by-clause names the receiving server.
      {"from mail.example by mx.provider.net ([192.0.2.1])", "-"},
      {"by mx.provider.net (Postfix, from userid 0) id 12", "-"},
      {"from localhost (localhost [127.0.0.1]) by mx", "127.0.0.1"},
      {"FROM Mail.Example (Mail.Example [203.0.113.15]) BY mx", "203.0.113.15"},
      {"  from 203.0.113.16 by mx", "203.0.113.16"},
      // What is no address.
      {"fromage (x [203.0.113.17]) by y", "-"},
      {"from x (x [203.0.113.300]) by y", "-"},
      {"from x (x [203.0.113]) by y", "-"},
      {"from x (x [2001:db8::1%eth0]) by y", "-"},
      {"from x (x [203.0.113.18", "-"},
      {"from x] (x ]] [203.0.113.19]) by y", "203.0.113.19"},
      {"from", "-"},
      {"", "-"},
  };
  for (const Case& c : cases) EXPECT_EQ(fromOf(c.value), c.address) << c.value;
}

TEST(ScopeOf, SetsThePublicAddressesApart) {
  struct Case {
    const char* address;
    Scope scope;
  };
  const Case cases[] = {
      {"203.0.113.7", Scope::kPublic},
      {"8.8.8.8", Scope::kPublic},
      {"10.1.2.3", Scope::kPrivate},
      {"172.16.0.1", Scope::kPrivate},
      {"172.31.255.255", Scope::kPrivate},
      {"172.32.0.1", Scope::kPublic},
      {"192.168.1.1", Scope::kPrivate},
      {"127.0.0.1", Scope::kLoopback},
      {"169.254.1.1", Scope::kLinkLocal},
      {"100.64.0.1", Scope::kCgnat},
      {"100.127.255.255", Scope::kCgnat},
      {"100.128.0.1", Scope::kPublic},
      {"0.0.0.0", Scope::kReserved},
      {"224.0.0.1", Scope::kReserved},
      {"255.255.255.255", Scope::kReserved},
      {"2001:db8::1", Scope::kPublic},
      {"::1", Scope::kLoopback},
      {"::", Scope::kReserved},
      {"fe80::1", Scope::kLinkLocal},
      {"fd12:3456::1", Scope::kUniqueLocal},
      {"fc00::1", Scope::kUniqueLocal},
      {"fec0::1", Scope::kPrivate},
      {"ff02::1", Scope::kReserved},
      {"::ffff:10.0.0.1", Scope::kPrivate},
  };
  for (const Case& c : cases) {
    const std::optional<Address> address = parseAddress(c.address);
    ASSERT_TRUE(address) << c.address;
    EXPECT_EQ(scopeOf(*address), c.scope) << c.address;
  }
}

TEST(QueryName, ReversesOctetsAndNibbles) {
  EXPECT_EQ(queryName(*parseAddress("203.0.113.7"), "bl.example"), "7.113.0.203.bl.example");
  EXPECT_EQ(queryName(*parseAddress("2001:db8:1:2:3:4:567:89ab"), "bl.example"),
            "b.a.9.8.7.6.5.0.4.0.0.0.3.0.0.0.2.0.0.0.1.0.0.0.8.b.d.0.1.0.0.2.bl.example");
}

}  // namespace
}  // namespace dnsbl
