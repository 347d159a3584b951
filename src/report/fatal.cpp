#include "report/fatal.h"

#include <cstdio>
#include <cstdlib>

#include "text/escape.h"

namespace {
FatalHandler& handler() {
  static FatalHandler h;
  return h;
}
}  // namespace

void setFatalHandler(FatalHandler h) { handler() = std::move(h); }

void failFatal(const std::string& text, int status) {
  if (handler()) handler()(text, status);
  std::fflush(stdout);
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  std::exit(status);
}

// Messages quote values from the rc file and the command line; those reach the terminal escaped.
void fatalError(const std::string& message) {
  failFatal("pollensift: Error: " + escapeControls(message) + "\n", -1);
}
