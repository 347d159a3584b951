#include "text/file_kind.h"

#include <sys/stat.h>

const char* fileKindProblem(mode_t mode, bool devices_allowed) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISCHR(mode)) return devices_allowed ? nullptr : "is a device, not a regular file";
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a FIFO, not a regular file";
  if (S_ISSOCK(mode)) return "is a socket, not a regular file";
  if (S_ISBLK(mode)) return "is a block device, not a regular file";
  return "is not a regular file";
}

const char* pathKindProblem(const std::string& path, bool devices_allowed) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return nullptr;
  return fileKindProblem(status.st_mode, devices_allowed);
}

std::string parentDirectory(const std::string& path) {
  const size_t end = path.find_last_not_of('/');
  const size_t slash = end == std::string::npos ? std::string::npos : path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
