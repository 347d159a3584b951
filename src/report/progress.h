#pragma once

#include <chrono>
#include <string>

// How far the scan of one account has got, for the person at the keyboard: once the scan has
// taken about two seconds, one line on standard error is redrawn in place ("Scanning
// jo@pop.example.org: 120 of 4000 judged, 7 deleted"). Only when standard error is a terminal
// and the verbosity is 3 or more; never in the log. The Reporter erases it before any line it
// writes, and it is erased when the scan ends.
class ScanProgress {
 public:
  // level is the verbosity; test says whether deletions are only counted.
  ScanProgress(std::string account, int total, int level, bool test);
  ~ScanProgress();
  ScanProgress(const ScanProgress&) = delete;
  ScanProgress& operator=(const ScanProgress&) = delete;

  // The counts so far; draws the line when it is due.
  void update(int judged, int deleted);

 private:
  using Clock = std::chrono::steady_clock;
  std::string account_;
  int total_;
  bool enabled_;
  bool test_;
  Clock::time_point start_;
  Clock::time_point drawn_{};
};

// Erases the progress line, if one is shown, before another line goes to the terminal.
void eraseProgress();

// The same from inside a signal handler (only async-signal-safe calls).
void eraseProgressInHandler();
