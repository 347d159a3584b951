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

int releaseQuarantined(const std::vector<std::string>& files) {
  Reporter& reporter = Reporter::instance();
  int result = 0;
  for (const std::string& file : files) {
    std::string problem;
    if (!releaseMessage(Settings::instance().quarantine(), file, std::cout, &problem)) {
      reporter.error("Could not release " + problem, 1);
      result = -1;
    }
  }
  return result;
}
