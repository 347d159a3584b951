#include "rules/trial_compile.h"

#include <fcntl.h>
#include <poll.h>
#include <regex.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

// Waits for the child's one byte (or end of file) until the deadline.
bool readyInTime(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

TrialCompile trialCompile(const std::string& expression, int flags, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return TrialCompile::kInTime;
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    close(ends[0]);
    close(ends[1]);
    return TrialCompile::kInTime;
  }
  if (child == 0) {
    // The child dies with the parent, and leaves interruptions to it: an abort line in the log
    // is the parent's to write.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    close(ends[0]);
    regex_t pattern;
    if (regcomp(&pattern, expression.c_str(), flags) == 0) regfree(&pattern);
    const char done = 1;
    ssize_t written;
    do {
      written = write(ends[1], &done, 1);
    } while (written < 0 && errno == EINTR);
    _exit(0);
  }
  close(ends[1]);
  TrialCompile result = TrialCompile::kTooSlow;
  if (readyInTime(ends[0], deadline)) {
    char done = 0;
    ssize_t got;
    do {
      got = read(ends[0], &done, 1);
    } while (got < 0 && errno == EINTR);
    result = got == 1 ? TrialCompile::kInTime : TrialCompile::kCrashed;
  }
  close(ends[0]);
  if (result == TrialCompile::kTooSlow) kill(child, SIGKILL);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return result;
}
