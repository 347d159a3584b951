#pragma once

#include <string>
#include <string_view>

#include "text/replace_file.h"

// The state file on disk: the lock beside it, its bounded read, and its replacement, which never
// leaves half a file. Each failure is reported as a warning: the state serves a run or it does
// not, but it never fails one.

// Holds the lock file of a state file (its path + ".lock") from take to destruction, so that two
// runs never interleave their reads and writes.
class StateFileLock {
 public:
  // Waits up to wait_ms for another run's lock; false after a warning.
  bool take(const std::string& state_path, int wait_ms);

 private:
  FileLock lock_;
};

enum class StateFileRead {
  kAbsent,  // there is no file yet: the first run
  kFailed,  // warned: the state cannot serve this run
  kUnsafe,  // warned: other users can change it, so nothing in it is believed
  kRead,    // text holds it; reason says, when not empty, why it is not to be parsed
};

// Reads the state file at path, without blocking and at most about 1 GiB of it.
StateFileRead readStateFile(const std::string& path, std::string& text, std::string& reason);

// Puts a file holding text, with mode 0600, in the place of the one at path: written beside it,
// flushed and renamed over it. False after a warning; the old file is then unchanged.
bool replaceStateFile(const std::string& path, std::string_view text);

// A warning of the state ("Warning: " and message) in the log.
void warnAboutState(const std::string& message);
