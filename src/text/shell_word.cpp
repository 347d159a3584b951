#include "text/shell_word.h"

#include <wordexp.h>

#include <utility>

namespace {
bool shell_disabled = false;
bool commands_run = true;
bool secret_commands_run = true;
std::vector<std::string> command_values;
}  // namespace

void setCommandsRun(bool run) { commands_run = run; }
bool commandsRun() { return commands_run; }
void setSecretCommandsRun(bool run) { secret_commands_run = run; }
bool secretCommandsRun() { return secret_commands_run; }
const std::vector<std::string>& commandValues() { return command_values; }

const std::string& rememberCommandValue(std::string value) {
  command_values.push_back(std::move(value));
  return command_values.back();
}

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
  const int result = wordexp(text.c_str(), &expansion, commands_run ? 0 : WRDE_NOCMD);
  // A configuration check runs no command, not even one inside a file name.
  if (result == WRDE_CMDSUB) {
    word = rememberCommandValue(kCommandNotRun);
    return true;
  }
  // Running out of space can leave a partial expansion behind that still has to be freed.
  if (result == WRDE_NOSPACE) wordfree(&expansion);
  if (result != 0) return false;
  const bool found = expansion.we_wordc > 0;
  if (found) word = expansion.we_wordv[0];
  wordfree(&expansion);
  return found;
}
