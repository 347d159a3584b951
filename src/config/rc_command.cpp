#include "config/rc_command.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "report/fatal.h"
#include "text/escape.h"
#include "text/shell_word.h"

namespace {

// An OAuth 2.0 access token can run to a few thousand characters; far more than any secret
// needs, yet a command that prints without end cannot make the run hold it.
constexpr size_t kLongestLine = 65535;

// The exit status of the go-between when it could not start the command.
constexpr int kNotStarted = 127;

// The read end of the command's output; closed however the substitution ends.
class OutputPipe {
 public:
  explicit OutputPipe(int fd) : fd_(fd) {}
  ~OutputPipe() { close(); }
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;
  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

[[noreturn]] void commandFailed(const std::string& command, const char* what) {
  fatalError("The command `" + escapeControls(command) + "' " + what);
}

// Runs "/bin/sh -c command" with its standard output on a pipe and returns the pipe's read end,
// or -1 when the command could not be started. The shell is started by a go-between child that
// ends at once and is reaped here: the command is then no child of ours, so one that runs on
// after its first line is never waited for and never left as our zombie. A failed wait (SIGCHLD
// ignored) is fatal, as the pclose of the command's pipe always was.
int startCommand(const std::string& command) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  const pid_t go_between = fork();
  if (go_between == 0) {
    const pid_t shell = fork();
    if (shell == 0) {
      // dup2 leaves the copy open across exec; a pipe end that already is 1 needs it said.
      if (ends[1] == STDOUT_FILENO) {
        fcntl(STDOUT_FILENO, F_SETFD, 0);
      } else {
        dup2(ends[1], STDOUT_FILENO);
      }
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(kNotStarted);
    }
    _exit(shell < 0 ? kNotStarted : 0);
  }
  ::close(ends[1]);
  if (go_between < 0) {
    ::close(ends[0]);
    return -1;
  }
  int status = 0;
  pid_t waited = 0;
  while ((waited = waitpid(go_between, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited < 0) {
    ::close(ends[0]);
    fatalError("pclose failed.");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == kNotStarted) {
    ::close(ends[0]);
    return -1;
  }
  return ends[0];
}

// Reads up to the first line end (or the end of the output, or past the longest line) and no
// further: what the command does after its first line is not waited for.
std::string readFirstLine(OutputPipe& pipe) {
  std::string data;
  char buffer[4096];
  while (data.find('\n') == std::string::npos && data.size() <= kLongestLine) {
    const ssize_t got = ::read(pipe.fd(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  // Closed now, so that a command that writes on gets SIGPIPE rather than a reader.
  pipe.close();
  const size_t line_end = data.find('\n');
  const size_t length = line_end == std::string::npos ? data.size() : line_end + 1;
  data.resize(std::min(length, kLongestLine + 1));
  return data;
}

}  // namespace

std::string commandOutput(const std::string& command, bool secret) {
  if (shellDisabled()) return command;
  if (!commandsRun() || (secret && !secretCommandsRun())) {
    return rememberCommandValue(kCommandNotRun);
  }
  std::fflush(nullptr);  // the command shares our terminal; keep earlier output first
  const int fd = startCommand(command);
  if (fd < 0) return "";
  OutputPipe pipe(fd);

  std::string line = readFirstLine(pipe);
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
    // A helper written for other systems ends its line with CR LF; the CR is no part of a token.
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return rememberCommandValue(line);
}
