// Received fields are written by every server a message passed, and by the sender for the ones
// below the provider's: any text at all. Finding the relay in them may not crash or hang, and an
// address it finds must be one: written out and read again it is the same, and the name a list
// is asked under is its reversed digits under the zone and nothing else.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "dnsbl/dnsbl.h"
#include "dnsbl/relay.h"
#include "header/message_header.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    Settings::instance().setVerbose(0);
    return true;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const std::optional<dnsbl::Address> address = dnsbl::receivedFrom(text)) {
    const std::string written = dnsbl::addressText(*address);
    check(dnsbl::parseAddress(written) == address);
    (void)dnsbl::scopeOf(*address);
    const std::string name = dnsbl::queryName(*address, "bl.example");
    check(name.ends_with(".bl.example"));
    const std::string_view digits(name.data(),
                                  name.size() - std::string_view(".bl.example").size());
    check(digits.find_first_not_of("0123456789abcdef.") == std::string_view::npos);
    size_t labels = 1;
    for (const char c : digits) labels += c == '.' ? 1 : 0;
    check(labels == (address->v6 ? 32 : 4));
  }

  // Each line a Received field, the relay found past the trusted ones, with no list to ask.
  static dnsbl::BlockLists lists(
      dnsbl::Config{{}, {"relay\\.provider\\.example", "^Received: by"}, "", 0});
  MessageHeader header;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    header.addField("Received", text.substr(at, end - at));
    at = end + 1;
  }
  check(lists.take(lists.ask(header)).empty());
  return 0;
}
