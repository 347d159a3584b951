#include <unistd.h>

#include <ctime>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "driver/modes.h"
#include "learn/learn.h"
#include "quarantine/quarantine.h"
#include "report/reporter.h"
#include "text/compare.h"
#include "text/escape.h"

namespace {

// USER@SERVER as --account names it: the user exactly, the server in any letter case.
bool isAccount(const std::string& account, const std::string& wanted) {
  const size_t at = wanted.rfind('@');
  const size_t held_at = account.rfind('@');
  if (at == std::string::npos || held_at == std::string::npos) return account == wanted;
  return account.compare(0, held_at, wanted, 0, at) == 0 &&
         equalsIgnoreCase(account.substr(held_at + 1), wanted.substr(at + 1));
}

}  // namespace

int listQuarantined(const QuarantineFilter& filter) {
  Reporter& reporter = Reporter::instance();
  const std::string& path = Settings::instance().quarantine();
  if (path.empty()) {
    reporter.error("No quarantine is configured: QUARANTINE = \"PATH\" in the rcfile names one.",
                   1);
    return -1;
  }
  std::vector<HeldMessage> held;
  std::string problem;
  if (!listQuarantine(path, &held, &problem)) {
    reporter.error("Could not read the quarantine: " + problem, 1);
    return -1;
  }
  const bool filtered = !filter.account.empty() || filter.since > 0;
  size_t shown = 0;
  for (HeldMessage& message : held) {
    if (!filter.account.empty() && !isAccount(message.account, filter.account)) continue;
    if (message.when < filter.since) continue;
    // Encoded words are shown as the text they stand for, then escaped as any header text.
    message.from = learn::decodeEncodedWords(message.from);
    message.subject = learn::decodeEncodedWords(message.subject);
    std::cout << heldMessageLine(message) << '\n';
    ++shown;
  }
  if (held.empty()) {
    std::cout << "The quarantine is empty.\n";
  } else if (filtered) {
    std::cout << shown << " of " << held.size() << " message(s) in the quarantine match.\n";
  } else {
    std::cout << held.size() << " message(s) in the quarantine.\n";
  }
  std::cout.flush();
  return 0;
}

int releaseQuarantined(const std::vector<std::string>& files, bool remove) {
  Reporter& reporter = Reporter::instance();
  // To a terminal the messages are read, not saved: a hostile message's escape sequences would
  // drive it, so control characters are shown escaped. To a file or a pipe the bytes stay exact.
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  int result = 0;
  for (const std::string& file : files) {
    std::string problem;
    std::string read_from;
    std::ostringstream text;
    std::ostream& out = terminal ? text : std::cout;
    const std::string& path = Settings::instance().quarantine();
    if (!releaseMessage(path, file, out, &problem, &read_from)) {
      reporter.error("Could not release " + problem, 1);
      result = -1;
      continue;
    }
    if (terminal) {
      std::cout << escapeControls(text.str(), true);
      std::cout.flush();
    }
    if (remove && !removeReleased(path, read_from, &problem)) {
      reporter.error("Could not remove a released message: " + problem, 1);
      result = -1;
    }
  }
  return result;
}
