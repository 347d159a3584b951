#include "report/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/file_kind.h"

bool OutputFile::open(const std::string& path, std::string* problem) {
  close();
  // Looked at before opening, since opening a FIFO without a reader blocks...
  if (const char* kind = pathKindProblem(path, true)) {
    *problem = kind;
    return false;
  }
  // ...and again on the open descriptor, which no rename can change. O_NONBLOCK keeps a FIFO
  // that appeared in between from blocking the open.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) {
    *problem = std::strerror(errno);
    return false;
  }
  struct stat status {};
  const char* kind =
      ::fstat(fd, &status) != 0 ? "cannot be examined" : fileKindProblem(status.st_mode, true);
  if (kind != nullptr) {
    ::close(fd);
    *problem = kind;
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  return true;
}

void OutputFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int OutputFile::write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd_, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}
