#include "config/rc_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/rc_diagnostics.h"
#include "config/rc_lexer.h"
#include "config/settings.h"
#include "rc_parser.hh"
#include "report/warning.h"
#include "text/escape.h"

namespace {

std::string modeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// A password in a file that other users can read (or change, and so redirect the login) is a
// password they have; a file they can change runs their commands as its owner (backquotes). Only
// warnings: refusing would break set-ups that work today.
void warnAboutOpenFiles(const std::string& main_rc_file) {
  std::set<std::pair<dev_t, ino_t>> warned;
  for (const std::string& file : passwordFiles()) {
    const std::string& path = file.empty() ? main_rc_file : file;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    if ((status.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) == 0) continue;
    if (!warned.emplace(status.st_dev, status.st_ino).second) continue;
    const std::string shown = escapeControls(path);
    warn("The rcfile '" + shown +
         "' holds a password but other users can read or change it (mode " +
         modeText(status.st_mode) + "); protect it with: chmod 600 '" + shown + "'");
  }
  std::vector<std::string> files{main_rc_file};
  files.insert(files.end(), includedFiles().begin(), includedFiles().end());
  for (const std::string& path : files) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0) continue;
    if (!warned.emplace(status.st_dev, status.st_ino).second) continue;
    const std::string shown = escapeControls(path);
    warn("The rcfile '" + shown + "' can be changed by other users (mode " +
         modeText(status.st_mode) +
         "), and a command in backquotes in it runs as you; protect it with: chmod go-w '" + shown +
         "'");
  }
}

}  // namespace

void parseRcStream(std::istream& input, Settings& settings, const std::string& name) {
  RcScan scan(input, name);
  startGrammar();
  rc::rcparser parser(scan.scanner(), settings);
  // Every error in the file ends the run inside the parser, so it only returns on success.
  parser.parse();
  finishAccounts(settings);
}

bool parseRcFile(Settings& settings) {
  std::ifstream& input = settings.rcFileStream();
  if (!input.is_open()) return false;
  refuseForeignRcFile(settings.pollensiftrc(), "rcfile");
  parseRcStream(input, settings, settings.pollensiftrc());
  warnAboutOpenFiles(settings.pollensiftrc());
  return true;
}
