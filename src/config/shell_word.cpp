#include "config/shell_word.h"

#include <wordexp.h>

bool firstShellWord(const std::string& text, std::string& word) {
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
