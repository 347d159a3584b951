#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report/output_file.h"
#include "text/escape.h"

// The process-wide log: time-stamped lines on standard output / standard error, copied to the log
// file, gated by the verbosity setting; and the headers store file. Created on first use, never
// destroyed. Every line is flushed when written, after erasing the progress line of a long scan
// (report/progress.h) where one is shown.
//
// Message text may carry bytes from mail headers and servers: control characters other than tab
// are written as visible escapes ("\x1b"), so no such text can drive the terminal or forge a line.
class Reporter {
 public:
  static Reporter& instance();

  // What the configuration says (VERBOSE or -v, SHOW_HEADERS); it hands both in as they are set.
  // Lines above the level are not shown; the headers store file opens on the first write to it.
  void setLevel(int level) { level_ = level; }
  void setHeadersPath(std::string path) { headers_path_ = std::move(path); }

  // Opens the log file for appending (created when missing, mode 0600); false for an empty path
  // or a file that cannot serve (logProblem says why: a FIFO, a directory, the system's reason).
  // Warnings kept from start-up are written to it.
  bool openLog(const std::string& path);
  const std::string& logProblem() const { return log_problem_; }
  // The open log's descriptor (-1 before), for the interrupt handler's line.
  int logFd() const { return log_.fd(); }
  static std::string timeStamp();

  void print(std::string_view message, int level);
  void error(std::string_view message, int level);
  // Like print, but each line end of message starts a new output line (for multi-line replies).
  void printLines(std::string_view message, int level);

  // Adds to the secrets a server may send back (a password or token, or a form of it that went
  // over the wire); empty texts are ignored. What shows a server's replies passes them through
  // withoutSecrets, which writes each occurrence of a secret as "*****", before any cut; other
  // lines are shown as they are.
  void hideSecret(std::string_view secret);
  std::string withoutSecrets(std::string_view text) const;

  // Appends text and a newline to the SHOW_HEADERS file, opening it on first use; false when it
  // cannot be opened, or when this is the first write to it that failed.
  bool writeHeaders(std::string_view text);

  // The first write to the log or headers file that failed (disk full, say) is reported once on
  // standard error as it happens; this gives its message for the end of the run, "" when every
  // write went through.
  const std::string& writeFailure() const { return write_failure_; }
  // A write of lines on their way to the log or the terminal that failed: a failure as above,
  // "Could not write to <what> '<path>': <reason>."
  void noteWriteFailure(const char* file_kind, const std::string& path, int error);

  // Accounts checked at once: each is checked in a process of its own, whose lines (to the
  // terminal and the log) and headers go from divertTo on as job_records to fd, and the running
  // process writes them with replay, in turn: 'o' a line for standard output and the log, 'e' for
  // standard error and the log, 'l' for the log alone, 'h' text for the headers store file.
  void divertTo(int fd) { divert_fd_ = fd; }
  bool diverted() const { return divert_fd_ >= 0; }
  // A diverted check's progress, 'p' "judged deleted total", for the running process to sum up.
  void divertProgress(int judged, int deleted, int total);
  void replay(char kind, std::string_view text);

  // A scan that reads ahead of its judging: the lines written while it reads (a failure) belong
  // after the verdicts of what it read before. holdLines(true) keeps lines back from then on,
  // in order; holdLines(false) writes them again as they come, keeping back those kept; and
  // releaseHeldLines writes the kept ones (or drops them, when what they tell never happened
  // in the order of judging).
  void holdLines(bool on) { holding_ = on; }
  void releaseHeldLines(bool write);

  // Closes both files; only tests call this.
  void resetForTesting();

 private:
  Reporter() = default;
  void write(std::FILE* terminal, std::string_view prefix, std::string_view message, int level,
             bool keep_line_ends);
  void appendToLog(const std::string& line);

  int level_ = 3;
  std::string headers_path_;
  std::vector<std::string> secrets_;  // longest first, so a longer one is hidden whole
  OutputFile log_;
  OutputFile headers_;
  std::string log_path_;
  std::string log_problem_;
  std::string write_failure_;
  int divert_fd_ = -1;
  bool holding_ = false;
  std::vector<std::pair<char, std::string>> held_;  // kind as for replay, and the line
};
