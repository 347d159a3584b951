#include "protocol/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "protocol/state_format.h"
#include "report/reporter.h"
#include "text/replace_file.h"

namespace {

// The largest file read, some ten million messages; it is held whole while it is read, and the
// store counts its places in 32 bits.
constexpr size_t kMaxFileBytes = size_t{1} << 30;

}  // namespace

void warnAboutState(const std::string& message) {
  Reporter::instance().print("Warning: " + message, 1);
}

bool StateFileLock::take(const std::string& state_path, int wait_ms) {
  const std::string lock_path = state_path + ".lock";
  const int error = lock_.take(lock_path, wait_ms);
  if (error == 0) return true;
  if (error == EWOULDBLOCK) {
    warnAboutState("Another run holds the state file '" + state_path +
                   "'; every message is judged in this run.");
  } else {
    warnAboutState("The state file's lock '" + lock_path + "' cannot be opened (" +
                   std::strerror(error) + "); every message is judged.");
  }
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
  const int error = replaceFile(path, text);
  if (error == 0) return true;
  warnAboutState("The state file '" + path + "' cannot be written (" + std::strerror(error) +
                 "); the next run judges these messages again.");
  return false;
}
