#include "protocol/state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "protocol/state_format.h"
#include "report/reporter.h"

namespace {

// The largest file read, some ten million messages; it is held whole while it is read, and the
// store counts its places in 32 bits.
constexpr size_t kMaxFileBytes = size_t{1} << 30;

// Writes all of text to fd; false on any failure.
bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

void warnAboutState(const std::string& message) {
  Reporter::instance().print("Warning: " + message, 1);
}

StateFileLock::~StateFileLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool StateFileLock::take(const std::string& state_path, int wait_ms) {
  const std::string lock_path = state_path + ".lock";
  fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    warnAboutState("The state file's lock '" + lock_path + "' cannot be opened (" +
                   std::strerror(errno) + "); every message is judged.");
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  warnAboutState("Another run holds the state file '" + state_path +
                 "'; every message is judged in this run.");
  ::close(fd_);
  fd_ = -1;
  return false;
}

StateFileRead readStateFile(const std::string& path, std::string& text, std::string& reason) {
  // Not blocking: a FIFO put in the file's place after the start-up check must not hang the run.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return StateFileRead::kAbsent;
    warnAboutState("The state file '" + path + "' cannot be read (" + std::strerror(errno) +
                   "); every message is judged.");
    return StateFileRead::kFailed;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    warnAboutState("The state file '" + path + "' cannot be read; every message is judged.");
    return StateFileRead::kFailed;
  }
  // Whoever can change the file can have a message kept unseen, or one deleted as the duplicate
  // of a Message-ID it did not have: nothing in it is believed.
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    warnAboutState("The state file '" + path + "' can be changed by other users (mode " + mode +
                   "); every message is judged, and the file is written anew with mode 0600.");
    return StateFileRead::kUnsafe;
  }
  text.clear();
  reason.clear();
  bool ok = true;
  const bool too_large = info.st_size > static_cast<off_t>(kMaxFileBytes);
  if (!too_large && info.st_size > 0) text.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  bool first_line_checked = false;
  while (ok && reason.empty() && text.size() <= kMaxFileBytes) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    // Whatever else the file holds, a wrong first line is known before the rest is read.
    const size_t line_end = text.find('\n');
    if (!first_line_checked && (line_end != std::string::npos || text.size() > stateHeaderSize())) {
      first_line_checked = true;
      if (isStateHeaderLine(std::string_view(text).substr(0, line_end), reason) && too_large) {
        reason = "is too large";
      }
    }
  }
  ::close(fd);
  if (!ok) {
    warnAboutState("The state file '" + path + "' cannot be read; every message is judged.");
    return StateFileRead::kFailed;
  }
  if (reason.empty() && text.size() > kMaxFileBytes) reason = "is too large";
  return StateFileRead::kRead;
}

bool replaceStateFile(const std::string& path, std::string_view text) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  bool ok = fd >= 0;
  if (ok) {
    ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
  }
  if (!ok) {
    warnAboutState("The state file '" + path + "' cannot be written (" + std::strerror(errno) +
                   "); the next run judges these messages again.");
    return false;
  }
  // The rename itself reaches the disk with the directory.
  const int directory = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}
