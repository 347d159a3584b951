#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Records on a pipe between a job that checks one account and the process that runs the jobs:
// a kind byte, the length of the text in four bytes, then the text. Lines travel this way so
// that the running process can write each account's lines together, in the rc file's order.
namespace job_records {

// Writes one whole record, retrying short writes; false when the pipe is gone.
bool send(int fd, char kind, std::string_view text);

// Collects records from bytes read off a pipe in pieces of any size.
class Reader {
 public:
  void add(std::string_view bytes) { pending_.append(bytes); }
  // The next whole record, if one has arrived: true with kind and text set.
  bool next(char* kind, std::string* text);
  // Bytes of a record still incomplete (a job that ended in the middle of one).
  bool partial() const { return pending_.size() > offset_; }

 private:
  std::string pending_;
  size_t offset_ = 0;
};

// Reads records from fd (blocking) until one of kind `until` arrives, calling take with each
// other one; false when the pipe ends first.
template <typename Take>
bool readUntil(int fd, char until, Take take);

// Reads up to one pipe's worth from fd into reader; the count of bytes, 0 at its end, -1 on
// failure (EINTR is retried).
long readSome(int fd, Reader& reader);

}  // namespace job_records

template <typename Take>
bool job_records::readUntil(int fd, char until, Take take) {
  Reader reader;
  char kind;
  std::string text;
  for (;;) {
    while (reader.next(&kind, &text)) {
      if (kind == until) return true;
      take(kind, text);
    }
    if (readSome(fd, reader) <= 0) return false;
  }
}
