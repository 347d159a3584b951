#include "config/rc_file.h"

#include "config/rc_lexer.h"
#include "config/settings.h"
#include "rc_parser.hh"

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
  return true;
}
