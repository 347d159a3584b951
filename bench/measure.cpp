// Runs one program and reports what it cost: wall seconds, user+system CPU seconds, peak RSS in
// KiB and its exit status, as one line written to the file RESULT.
//
//   measure RESULT PROGRAM ARGS...
//
// The benchmark starts programs through this small process instead of directly from Python: the
// kernel counts a child's peak RSS from the moment it is forked, so a program forked from a 20 MiB
// interpreter would report at least 20 MiB, while one forked from here starts from about 1 MiB.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: measure RESULT PROGRAM ARGS...\n");
    return 2;
  }
  const double start = now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("measure: fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::perror("measure: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  pid_t done;
  do {
    done = wait4(child, &status, 0, &usage);
  } while (done < 0 && errno == EINTR);
  const double wall = now() - start;
  if (done < 0) {
    std::perror("measure: wait4");
    return 2;
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* result = std::fopen(argv[1], "w");
  if (result == nullptr) {
    std::perror("measure: result file");
    return 2;
  }
  std::fprintf(result, "%.6f %.6f %ld %d\n", wall,
               seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss, code);
  return std::fclose(result) == 0 ? 0 : 2;
}
