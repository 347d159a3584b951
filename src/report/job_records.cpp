#include "report/job_records.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace job_records {

namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool send(int fd, char kind, std::string_view text) {
  std::string record(5, '\0');
  record[0] = kind;
  const auto size = static_cast<uint32_t>(text.size());
  std::memcpy(&record[1], &size, sizeof size);
  record += text;
  return writeAll(fd, record.data(), record.size());
}

bool Reader::next(char* kind, std::string* text) {
  const size_t available = pending_.size() - offset_;
  if (available < 5) return false;
  uint32_t size;
  std::memcpy(&size, pending_.data() + offset_ + 1, sizeof size);
  if (available - 5 < size) return false;
  *kind = pending_[offset_];
  text->assign(pending_, offset_ + 5, size);
  offset_ += 5 + size;
  // What was taken is dropped once it outweighs what is left, so the buffer stays near one record.
  if (offset_ > pending_.size() / 2) {
    pending_.erase(0, offset_);
    offset_ = 0;
  }
  return true;
}

long readSome(int fd, Reader& reader) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) reader.add(std::string_view(buffer, static_cast<size_t>(n)));
    return n;
  }
}

}  // namespace job_records
