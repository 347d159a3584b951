#include "config/fatal.h"

#include <cstdio>
#include <cstdlib>

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

void fatalError(const std::string& message) {
  failFatal("pollensift: Error: " + message + "\n", -1);
}
