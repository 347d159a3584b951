#include "config/rc_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <string>
#include <utility>

#include "config/escape.h"
#include "config/rc_lexer.h"
#include "config/settings.h"
#include "rc_parser.hh"

namespace {

// A password in a file that other users can read (or change, and so redirect the login) is a
// password they have. Only a warning: refusing would break set-ups that work today.
void warnAboutOpenPasswordFiles(const std::string& main_rc_file) {
  std::set<std::pair<dev_t, ino_t>> warned;
  for (const std::string& file : passwordFiles()) {
    const std::string& path = file.empty() ? main_rc_file : file;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    if ((status.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) == 0) continue;
    if (!warned.emplace(status.st_dev, status.st_ino).second) continue;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    const std::string shown = escapeControls(path);
    const std::string line = "pollensift: Warning: The rcfile '" + shown +
                             "' holds a password but other users can read or change it (mode " +
                             mode + "); protect it with: chmod 600 '" + shown + "'\n";
    std::fflush(stdout);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
}

}  // namespace

void parseRcStream(std::istream& input, Settings& settings) {
  RcScan scan(input);
  rc::rcparser parser(scan.scanner(), settings);
  // Every error in the file ends the run inside the parser, so it only returns on success.
  parser.parse();
}

bool parseRcFile(Settings& settings) {
  std::ifstream& input = settings.rcFileStream();
  if (!input.is_open()) return false;
  parseRcStream(input, settings);
  warnAboutOpenPasswordFiles(settings.pollensiftrc());
  return true;
}
