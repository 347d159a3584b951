#include "report/warning.h"

#include <cstdio>
#include <vector>

#include "text/escape.h"

namespace {

struct WarningState {
  std::vector<std::string> kept;
  std::function<void(const std::string&)> log;
};

WarningState& state() {
  static WarningState* s = new WarningState();
  return *s;
}

}  // namespace

void warn(const std::string& message) {
  const std::string line = "pollensift: Warning: " + escapeControls(message);
  std::fflush(stdout);
  std::fputs((line + "\n").c_str(), stderr);
  std::fflush(stderr);
  if (state().log) {
    state().log(line);
  } else {
    state().kept.push_back(line);
  }
}

void setWarningLog(std::function<void(const std::string& line)> log) {
  state().log = std::move(log);
  if (!state().log) return;
  for (const std::string& line : state().kept) state().log(line);
  state().kept.clear();
}

void clearWarningsForTesting() {
  state().kept.clear();
  state().log = nullptr;
}
