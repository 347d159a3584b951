#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

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
  bool in_job_;  // a job of several at once: the counts go to the running process
  bool test_;
  Clock::time_point start_;
  Clock::time_point drawn_{};
};

// Accounts checked at once: the running process shows one line for all the accounts being
// checked ("Scanning 3 accounts: 120 of 4000 judged, 7 deleted"), drawn and erased as the line of
// one account is, from the counts each job sends.
class JobsProgress {
 public:
  JobsProgress(int level, bool test);
  ~JobsProgress();
  JobsProgress(const JobsProgress&) = delete;
  JobsProgress& operator=(const JobsProgress&) = delete;

  // The latest counts of account index ("judged deleted total", as sent), or none once it ended.
  void set(size_t index, const std::string& counts);
  void ended(size_t index);

 private:
  using Clock = std::chrono::steady_clock;
  struct Counts {
    long long judged = 0;
    long long deleted = 0;
    long long total = 0;
    bool running = false;
  };
  void draw();
  std::vector<Counts> counts_;
  bool enabled_;
  bool test_;
  Clock::time_point start_;
  Clock::time_point drawn_{};
};

// Erases the progress line, if one is shown, before another line goes to the terminal.
void eraseProgress();

// The same from inside a signal handler (only async-signal-safe calls).
void eraseProgressInHandler();
