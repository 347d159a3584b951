#include "config/shell_word.h"

#include <wordexp.h>

namespace {
bool shell_disabled = false;
}  // namespace

void setShellDisabledForTesting(bool disabled) { shell_disabled = disabled; }
bool shellDisabled() { return shell_disabled; }

bool firstShellWord(const std::string& text, std::string& word) {
  if (shell_disabled) {
    const size_t begin = text.find_first_not_of(" \t\n");
    if (begin == std::string::npos) return false;
    word = text.substr(begin, text.find_first_of(" \t\n", begin) - begin);
    return true;
  }
  wordexp_t expansion{};
  const int result = wordexp(text.c_str(), &expansion, 0);
  // Running out of space can leave a partial expansion behind that still has to be freed.
  if (result == WRDE_NOSPACE) wordfree(&expansion);
  if (result != 0) return false;
  const bool found = expansion.we_wordc > 0;
  if (found) word = expansion.we_wordv[0];
  wordfree(&expansion);
  return found;
}
