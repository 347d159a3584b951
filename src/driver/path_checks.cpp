#include "driver/path_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "quarantine/quarantine.h"
#include "text/escape.h"
#include "text/file_kind.h"

namespace {

std::string quoted(const std::string& path) {
  return "'" + escapeControls(path) + "'";
}

// "" when path is a directory in which files can be made, renamed and removed.
std::string writableDirectory(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return quoted(path) + " does not exist";
    return quoted(path) + " cannot be examined: " + std::strerror(errno);
  }
  if (!S_ISDIR(status.st_mode)) return quoted(path) + " is not a directory";
  if (::access(path.c_str(), W_OK | X_OK) != 0) {
    return quoted(path) + " cannot be written: " + std::strerror(errno);
  }
  return "";
}

// For a path that does not exist: "" when it could be made in its directory. *exists tells
// whether it did exist after all (then nothing was checked).
std::string makeable(const std::string& path, bool* exists) {
  struct stat status {};
  *exists = ::stat(path.c_str(), &status) == 0;
  if (*exists) return "";
  if (errno != ENOENT) return quoted(path) + " cannot be examined: " + std::strerror(errno);
  const std::string directory = writableDirectory(parentDirectory(path));
  if (directory.empty()) return "";
  return quoted(path) + " cannot be made: " + directory;
}

// A file that a run opens with access (W_OK to append, R_OK to read), or makes when missing.
std::string fileProblem(const std::string& path, bool devices_allowed, int access, bool* exists) {
  const std::string missing = makeable(path, exists);
  if (!*exists) return missing;
  if (const char* kind = pathKindProblem(path, devices_allowed)) return quoted(path) + " " + kind;
  if (::access(path.c_str(), access) != 0) {
    return quoted(path) + (access == R_OK ? " cannot be read: " : " cannot be written: ") +
           std::strerror(errno);
  }
  return "";
}

}  // namespace

std::string logFileProblem(const std::string& path) {
  bool exists = false;
  return fileProblem(path, true, W_OK, &exists);
}

std::string stateFileProblem(const std::string& path) {
  bool exists = false;
  const std::string file = fileProblem(path, false, R_OK, &exists);
  if (!exists || !file.empty()) return file;
  // The new file and the lock file are made beside it.
  const std::string directory = writableDirectory(parentDirectory(path));
  if (directory.empty()) return "";
  return quoted(path) + " cannot be replaced: " + directory;
}

std::string quarantineProblem(const std::string& path) {
  std::string problem = Quarantine::inspect(path);
  // Said in the middle of a sentence here.
  if (problem.ends_with('.')) problem.pop_back();
  return problem;
}
