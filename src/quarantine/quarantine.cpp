#include "quarantine/quarantine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "quarantine/header_digest.h"
#include "quarantine/quarantine_folder.h"
#include "text/escape.h"

namespace {

// What comes before the tag in a file name.
constexpr std::string_view kTagMark = ",X=";


std::string systemReason(const std::string& what, int error) {
  return what + ": " + std::strerror(error) + ".";
}

Quarantine::Sync& syncFunction() {
  static Quarantine::Sync sync = ::fsync;
  return sync;
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
  const bool synced = syncFunction()(fd) == 0;
  ::close(fd);
  return synced;
}

// Whether the file is a copy of account's message whose header has this digest: the verdict
// field naming the account first, then the header.
bool heldCopyMatches(const std::string& file, std::string_view account,
                     const std::string& header_digest) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string first;
  HeaderDigest digest;
  bool field_read = false;
  bool matches = true;
  char buffer[16384];
  // A header is read at most this far: a longer one is no header that was judged.
  constexpr size_t kLongest = size_t{8} << 20;
  size_t read_so_far = 0;
  while (matches && !digest.complete() && read_so_far < kLongest) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    read_so_far += static_cast<size_t>(got);
    std::string_view text(buffer, static_cast<size_t>(got));
    if (!field_read) {
      const size_t end = text.find('\n');
      first.append(text.substr(0, end));
      if (end == std::string_view::npos) {
        matches = first.size() < 4096;
        continue;
      }
      field_read = true;
      const std::string owner = " (" + escapeControls(account) + ", ";
      matches = first.starts_with(std::string(kVerdictField) + ": ") &&
                first.find(owner) != std::string::npos;
      text.remove_prefix(end + 1);
    }
    digest.add(text);
  }
  ::close(fd);
  return matches && field_read && digest.value() == header_digest;
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
  const std::string fault = claimQuarantine(path);
  if (!fault.empty()) {
    *problem = fault;
    return nullptr;
  }
  std::unique_ptr<Quarantine> quarantine(new Quarantine(path));
  quarantine->noteTags();
  return quarantine;
}

void Quarantine::setSyncForTesting(Sync sync) { syncFunction() = sync != nullptr ? sync : ::fsync; }

bool isQuarantineName(std::string_view name) {
  // SECONDS.MMICROSECONDSPPIDQCOUNTER.HOST, as uniqueName makes it.
  auto digits = [&name](std::string_view after) {
    if (!name.starts_with(after)) return false;
    name.remove_prefix(after.size());
    const size_t count = std::min(name.find_first_not_of("0123456789"), name.size());
    name.remove_prefix(count);
    return count > 0;
  };
  return digits("") && digits(".M") && digits("P") && digits("Q") && name.size() > 1 &&
         name.front() == '.';
}

void Quarantine::noteTags() {
  for (const char* sub : {"new", "cur"}) {
    DIR* dir = ::opendir((path_ + "/" + sub).c_str());
    if (dir == nullptr) continue;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (isQuarantineName(name) && name.find(kTagMark) != std::string_view::npos) {
        tagged_.push_back(std::string(sub) + "/" + std::string(name));
      }
    }
    ::closedir(dir);
  }
}

bool Quarantine::holds(const std::string& tag, std::string_view account,
                       const std::string& header_digest, std::string* file) {
  const std::string mark = std::string(kTagMark) + tag;
  for (auto held = tagged_.begin(); held != tagged_.end(); ++held) {
    const size_t at = held->find(mark);
    if (at == std::string::npos) continue;
    const size_t after = at + mark.size();
    if (after != held->size() && (*held)[after] != ':') continue;
    if (!heldCopyMatches(path_ + "/" + *held, account, header_digest)) continue;
    *file = *held;
    tagged_.erase(held);
    return true;
  }
  return false;
}

std::unique_ptr<Quarantine::Delivery> Quarantine::begin(std::string_view first,
                                                        std::string* problem,
                                                        const std::string& tag) const {
  const std::string name = uniqueName() + (tag.empty() ? "" : std::string(kTagMark) + tag);
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
  if (syncFunction()(fd_) != 0) {
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
