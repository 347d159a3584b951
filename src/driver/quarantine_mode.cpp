#include <iostream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "driver/modes.h"
#include "quarantine/quarantine.h"
#include "report/reporter.h"

int listQuarantined() {
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
  for (const HeldMessage& message : held) std::cout << heldMessageLine(message) << '\n';
  std::cout.flush();
  return 0;
}

int releaseQuarantined(const std::vector<std::string>& files, bool remove) {
  Reporter& reporter = Reporter::instance();
  int result = 0;
  for (const std::string& file : files) {
    std::string problem;
    std::string read_from;
    const std::string& path = Settings::instance().quarantine();
    if (!releaseMessage(path, file, std::cout, &problem, &read_from)) {
      reporter.error("Could not release " + problem, 1);
      result = -1;
    } else if (remove && !removeReleased(path, read_from, &problem)) {
      reporter.error("Could not remove a released message: " + problem, 1);
      result = -1;
    }
  }
  return result;
}
