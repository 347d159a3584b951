#pragma once

#include <string>
#include <string_view>

// Files that the program keeps between runs (the state file, the learned tokens) are replaced
// whole, never edited in place, under a lock beside them, so a crash or a second run never leaves
// half a file.

// Holds a lock file (its path) from take to destruction.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Waits up to wait_ms for another process's lock. 0 when held; else the errno of the failure,
  // EWOULDBLOCK when another process still held it at the end.
  int take(const std::string& lock_path, int wait_ms);

 private:
  int fd_ = -1;
};

// Puts a file holding text, with mode 0600, in the place of the one at path: written beside it,
// flushed and renamed over it. 0, or the errno of the failure; the old file is then unchanged.
int replaceFile(const std::string& path, std::string_view text);
