#include "quarantine/quarantine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "text/escape.h"

namespace {

constexpr const char* kSubdirectories[] = {"tmp", "new", "cur"};

std::string systemReason(const std::string& what, int error) {
  return what + ": " + std::strerror(error) + ".";
}

// A directory that is there, or made with mode 0700; "" or why not.
std::string ensureDirectory(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    return S_ISDIR(info.st_mode) ? "" : "'" + escapeControls(path) + "' is not a directory.";
  }
  if (errno != ENOENT || ::mkdir(path.c_str(), 0700) != 0) {
    return systemReason("'" + escapeControls(path) + "' cannot be made", errno);
  }
  return "";
}

// This host's name as a Maildir name may hold it: '/' and ':' written as octal escapes.
std::string hostPart() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
  std::string name;
  for (const char* c = host; *c != '\0'; ++c) {
    if (*c == '/') {
      name += "\\057";
    } else if (*c == ':') {
      name += "\\072";
    } else {
      name += *c;
    }
  }
  return name;
}

// A name no other delivery uses: seconds, microseconds, process and a counter, then the host.
std::string uniqueName() {
  static std::atomic<unsigned> counter{0};
  timeval now {};
  ::gettimeofday(&now, nullptr);
  return std::to_string(now.tv_sec) + ".M" + std::to_string(now.tv_usec) + "P" +
         std::to_string(::getpid()) + "Q" + std::to_string(++counter) + "." + hostPart();
}

bool syncDirectory(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace

std::string verdictFieldLine(std::string_view reason, std::string_view account, std::time_t when) {
  char stamp[32] = {};
  std::tm local{};
  localtime_r(&when, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M", &local);
  // Escaped, the reason cannot end the field or start another.
  std::string line(kVerdictField);
  line.append(": ").append(escapeControls(reason)).append(" (").append(escapeControls(account));
  line.append(", ").append(stamp).append(")\n");
  return line;
}

std::unique_ptr<Quarantine> Quarantine::open(const std::string& path, std::string* problem) {
  std::string fault = ensureDirectory(path);
  for (const char* sub : kSubdirectories) {
    if (fault.empty()) fault = ensureDirectory(path + "/" + sub);
  }
  if (!fault.empty()) {
    *problem = fault;
    return nullptr;
  }
  return std::unique_ptr<Quarantine>(new Quarantine(path));
}

std::unique_ptr<Quarantine::Delivery> Quarantine::begin(std::string_view first,
                                                        std::string* problem) const {
  const std::string name = uniqueName();
  const std::string file = path_ + "/tmp/" + name;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    *problem = systemReason("'" + escapeControls(file) + "' cannot be made", errno);
    return nullptr;
  }
  std::unique_ptr<Delivery> delivery(new Delivery(*this, fd, name));
  if (!delivery->write(first)) {
    *problem = delivery->problem();
    return nullptr;
  }
  return delivery;
}

Quarantine::Delivery::Delivery(const Quarantine& owner, int fd, std::string name)
    : owner_(owner), fd_(fd), name_(std::move(name)) {}

Quarantine::Delivery::~Delivery() {
  if (!done_) abandon();
}

bool Quarantine::Delivery::write(std::string_view bytes) {
  if (!problem_.empty() || fd_ < 0) return false;
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd_, bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      problem_ =
          systemReason("Writing '" + escapeControls(owner_.path_ + "/tmp/" + name_) + "' failed",
                       wrote < 0 ? errno : ENOSPC);
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(wrote));
  }
  return true;
}

bool Quarantine::Delivery::finish() {
  if (!problem_.empty() || fd_ < 0) return false;
  const std::string from = owner_.path_ + "/tmp/" + name_;
  const std::string to = owner_.path_ + "/new/" + name_;
  // The data must be on disk before the name in new/ says the message is there.
  if (::fsync(fd_) != 0) {
    problem_ = systemReason("Flushing '" + escapeControls(from) + "' failed", errno);
    return false;
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) {
    problem_ = systemReason("Closing '" + escapeControls(from) + "' failed", errno);
    return false;
  }
  if (::rename(from.c_str(), to.c_str()) != 0) {
    problem_ = systemReason("Moving '" + escapeControls(from) + "' into new/ failed", errno);
    return false;
  }
  done_ = true;
  // The new name must be on disk too; the old one's removal from tmp/ may be lost in a crash,
  // which leaves a stray copy there, not a loss.
  if (!syncDirectory(owner_.path_ + "/new")) {
    // The message is in new/, but a crash now could lose the name: no DELE for it.
    problem_ =
        systemReason("Flushing '" + escapeControls(owner_.path_ + "/new") + "' failed", errno);
    return false;
  }
  return true;
}

void Quarantine::Delivery::abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!done_) ::unlink((owner_.path_ + "/tmp/" + name_).c_str());
  done_ = true;
}
