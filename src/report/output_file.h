#pragma once

#include <string>
#include <string_view>

// A file appended to with write(2), owned by descriptor: the log and the headers store file.
// Every write reaches the file at once (nothing is buffered), and a failed write is told, not lost.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens path for appending, creating it with mode 0600 (existing files keep their mode). A
  // directory, FIFO, socket or block device is refused before it can block the run; character
  // devices (a terminal, /dev/null) are accepted. On failure, *problem says why: "is a FIFO, not
  // a regular file" or the system's reason.
  bool open(const std::string& path, std::string* problem);
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close();

  // Writes all of text; 0, or the errno of the failure.
  int write(std::string_view text);

 private:
  int fd_ = -1;
};
