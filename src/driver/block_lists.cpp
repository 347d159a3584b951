// The DNS block lists of a run: made from the settings, and served beside every wait for a
// server through the connection's side work.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "dnsbl/dnsbl.h"
#include "driver/modes.h"
#include "net/side_wait.h"
#include "text/escape.h"

namespace {

// A message waits for its answers at most this long, or TIMEOUT where that is shorter: a list
// that is slower than this serves no run well, and one that never answers costs it once.
constexpr int kLongestWaitSeconds = 5;

dnsbl::Config configOf(const Settings& settings) {
  const Settings::BlockLists& given = settings.blockLists();
  dnsbl::Config config;
  for (const auto& [zone, points] : given.lists) config.lists.push_back({zone, points});
  config.trusted_relays = given.trusted_relays;
  config.server = given.dns_server;
  config.wait_ms = std::min(settings.timeout(), kLongestWaitSeconds) * 1000;
  return config;
}

class LookupsBeside : public SideWait {
 public:
  int watch(std::vector<pollfd>* fds) override { return dnsbl::runLists()->watch(fds); }
  void serve(std::span<const pollfd> fds) override { dnsbl::runLists()->serve(fds); }
};

}  // namespace

void useBlockLists() {
  const Settings& settings = Settings::instance();
  if (settings.blockLists().lists.empty()) return;
  dnsbl::setRunLists(std::make_unique<dnsbl::BlockLists>(configOf(settings)));
  static LookupsBeside beside;
  setSideWait(&beside);
}

std::vector<std::string> blockListLines() {
  const Settings& settings = Settings::instance();
  const Settings::BlockLists& given = settings.blockLists();
  if (given.lists.empty() && given.trusted_relays.empty() && given.dns_server.empty()) return {};
  std::vector<std::string> lines;
  dnsbl::BlockLists lists(configOf(settings));
  for (const std::string& text : lists.describe()) lines.push_back("  " + escapeControls(text));
  if (given.lists.empty()) lines.push_back("  No DNSBL is set, so no list is asked.");
  return lines;
}
