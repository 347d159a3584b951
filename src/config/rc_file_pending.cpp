#include <string>

#include "config/fatal.h"
#include "config/rc_file.h"
#include "config/settings.h"

// Interim reader until the rc grammar lands: accepts blank and comment lines only.
bool parseRcFile(Settings& settings) {
  std::ifstream& in = settings.rcFileStream();
  if (!in.is_open()) return false;
  std::string line;
  while (std::getline(in, line)) {
    const size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] != '#') {
      fatalError("rc file statements are not supported by this build.");
    }
  }
  return true;
}
