// The rc scanner and grammar over arbitrary text. Every fatal error is observed through the fatal
// seam instead of ending the process, and the shell is turned off: no command substitution, no
// expansion that runs anything, no INCLUDE=.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "config/fake_account_objects.h"
#include "config/rc_file.h"
#include "config/settings.h"
#include "report/fatal.h"
#include "text/shell_word.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setShellDisabledForTesting(true);
  setFatalHandler([](const std::string& text, int status) { throw FatalExit(text, status); });
  installFakeAccountObjects(Settings::instance());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Settings& settings = Settings::instance();
  settings.resetForTesting();
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  try {
    parseRcStream(input, settings);
  } catch (const FatalExit& e) {
    const std::string text = e.what();
    // One complete message (two lines for a lexical error), ending the run with -1, or 2 for the
    // scanner's own failures.
    if (e.status != -1 && e.status != 2) std::abort();
    if (text.rfind("pollensift: Error: ", 0) != 0 || text.back() != '\n') std::abort();
    // Whatever the file holds reaches the terminal escaped.
    for (const char c : text) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
        std::abort();
      }
    }
    return 0;
  }
  // An accepted file leaves only complete accounts behind.
  for (const MailAccount& account : settings.accounts()) {
    if (fakeObjectsCode(account) != account.protocolCode()) std::abort();
  }
  return 0;
}
