#include "config/rc_command.h"

#include <cstdio>
#include <memory>

#include "config/escape.h"
#include "config/fatal.h"
#include "config/shell_word.h"

namespace {

struct PipeCloser {
  void operator()(std::FILE* pipe) const { pclose(pipe); }
};
// Closes (and waits for) the command however the substitution ends.
using Pipe = std::unique_ptr<std::FILE, PipeCloser>;

// An OAuth 2.0 access token can run to a few thousand characters; far more than any secret
// needs, yet a command that prints without end cannot make the run hold it.
constexpr size_t kLongestLine = 65535;

[[noreturn]] void commandFailed(const std::string& command, const char* what) {
  fatalError("The command `" + escapeControls(command) + "' " + what);
}

}  // namespace

std::string commandOutput(const std::string& command) {
  if (shellDisabled()) return command;
  if (!commandsRun()) return rememberCommandValue(kCommandNotRun);
  std::fflush(nullptr);  // the command shares our terminal; keep earlier output first
  Pipe pipe(popen(command.c_str(), "r"));
  if (!pipe) return "";

  std::string line;
  int c = 0;
  while (line.size() <= kLongestLine && (c = std::getc(pipe.get())) != EOF) {
    line += static_cast<char>(c);
    if (c == '\n') break;
  }
  if (line.empty()) {
    commandFailed(command, "printed nothing; a value in backquotes is the first line the command "
                           "prints.");
  }
  if (line.back() != '\n' && line.size() > kLongestLine) {
    commandFailed(command, ("printed a line longer than " + std::to_string(kLongestLine) +
                            " characters.").c_str());
  }
  // The line is text up to its first NUL byte; output that starts with one is an empty value.
  const size_t nul = line.find('\0');
  if (nul == 0) {
    line.clear();
  } else {
    if (nul != std::string::npos) line.resize(nul);
    if (line.back() != '\n') {
      failFatal("pollensift: Error: popen failed.\npollensift: Error: The command `" +
                    escapeControls(command) + "' printed no line end.\n",
                -1);
    }
    line.pop_back();
  }
  if (pclose(pipe.release()) == -1) fatalError("pclose failed.");
  return rememberCommandValue(line);
}
