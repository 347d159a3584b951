// The file that LEARN_FILE names: read whole and checked before anything in it is believed,
// replaced whole when it changes.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "learn/learn.h"
#include "text/replace_file.h"

namespace learn {
namespace {

// Far above what kMaxTokens tokens and years of learned messages take.
constexpr off_t kMaxFileBytes = off_t{64} << 20;

}  // namespace

FileRead readLearnFile(const std::string& path, LearnedTokens& tokens, std::string& problem) {
  // Not blocking: a FIFO in the file's place must not hang the run. Not following a link: the
  // file is replaced whole by rename, which would put a plain file in the link's place and leave
  // its target unchanged for ever after.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) {
      problem = "does not exist yet";
      return FileRead::kAbsent;
    }
    struct stat link {};
    if (errno == ELOOP && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      problem = "is a symbolic link (name the file itself)";
      return FileRead::kRefused;
    }
    problem = std::string("cannot be read (") + std::strerror(errno) + ")";
    return FileRead::kRefused;
  }
  struct stat info {};
  std::string text;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (!ok) {
    problem = "is not a regular file";
  } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    // Whoever can change it can have any message deleted.
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    problem = std::string("can be changed by other users (mode ") + mode + ")";
    ok = false;
  } else if (info.st_uid != ::geteuid()) {
    // Another user's counts decide which of this user's messages are deleted.
    problem = "belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    ok = false;
  } else if (info.st_size > kMaxFileBytes) {
    problem = "is too large";
    ok = false;
  }
  char buffer[65536];
  while (ok) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      problem = std::string("cannot be read (") + std::strerror(errno) + ")";
      ok = false;
    }
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > static_cast<size_t>(kMaxFileBytes)) {
      problem = "is too large";
      ok = false;
    }
  }
  ::close(fd);
  if (!ok) return FileRead::kRefused;
  std::string reason;
  if (!tokens.parse(text, reason)) {
    problem = reason;
    return FileRead::kRefused;
  }
  return FileRead::kRead;
}

bool writeLearnFile(const std::string& path, const LearnedTokens& tokens, std::string& problem) {
  const int error = replaceFile(path, tokens.format());
  if (error == 0) return true;
  problem = std::string("cannot be written (") + std::strerror(error) + ")";
  return false;
}

}  // namespace learn
