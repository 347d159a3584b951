#include "protocol/mailbox_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "protocol/uidl_state.h"
#include "text/escape.h"
#include "text/sha256.h"

namespace {

std::string& directoryOverride() {
  static std::string directory;
  return directory;
}

std::string lockName(const std::string& server, int port, const std::string& user) {
  return sha256Hex(UidlState::accountKey(server, port, user)) + ".lock";
}

// The directory made when missing (mode 0700) and opened; -1 with *problem saying why it cannot
// serve. One that another user made, or that others may write to, could let them steer or
// remove the locks: it is not used.
int openPrivateDirectory(const std::string& directory, std::string* problem) {
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    *problem = "'" + escapeControls(directory) + "' cannot be made: " + std::strerror(errno);
    return -1;
  }
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *problem = "'" + escapeControls(directory) + "' cannot be opened: " + std::strerror(errno);
    return -1;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid() ||
      (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    ::close(fd);
    *problem = "'" + escapeControls(directory) + "' is not a directory of this user's own";
    return -1;
  }
  return fd;
}

}  // namespace

std::string MailboxLock::directory() {
  if (!directoryOverride().empty()) return directoryOverride();
  // Not $XDG_RUNTIME_DIR nor $TMPDIR: a run from cron has neither, and the same user's runs must
  // meet at one place. Not the home directory either, which may be shared over NFS, where
  // locks are slow to be dropped after a crash, or not kept at all.
  return "/tmp/pollensift-" + std::to_string(::geteuid());
}

void MailboxLock::setDirectoryForTesting(const std::string& directory) {
  directoryOverride() = directory;
}

void MailboxLock::prepareNaming() { lockName("", 0, ""); }

MailboxLock::MailboxLock(const std::string& server, int port, const std::string& user) {
  const std::string where = directory();
  path_ = where + "/" + lockName(server, port, user);
  const int directory_fd = openPrivateDirectory(where, &problem_);
  if (directory_fd < 0) return;
  const std::string name = path_.substr(where.size() + 1);
  fd_ = ::openat(directory_fd, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  const int open_error = errno;
  ::close(directory_fd);
  if (fd_ < 0) {
    problem_ = "'" + escapeControls(path_) + "' cannot be opened: " + std::strerror(open_error);
    return;
  }
  int result;
  do {
    result = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return;
  if (errno == EWOULDBLOCK) {
    held_elsewhere_ = true;
  } else {
    problem_ = "'" + escapeControls(path_) + "' cannot be locked: " + std::strerror(errno);
  }
  ::close(fd_);
  fd_ = -1;
}

MailboxLock::~MailboxLock() {
  if (fd_ >= 0) ::close(fd_);
}
