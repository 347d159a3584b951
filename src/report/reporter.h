#pragma once

#include <fstream>
#include <string>
#include <string_view>

#include "config/escape.h"

// The process-wide log: time-stamped lines on standard output / standard error, copied to the log
// file, gated by the verbosity setting; and the headers store file. Created on first use, never
// destroyed. Every line is flushed when written.
//
// Message text may carry bytes from mail headers and servers: control characters other than tab
// are written as visible escapes ("\x1b"), so no such text can drive the terminal or forge a line.
class Reporter {
 public:
  static Reporter& instance();

  // Opens the log file for appending (created when missing, mode 0600); false for an empty path.
  bool openLog(const std::string& path);
  static std::string timeStamp();

  void print(std::string_view message, int level);
  void error(std::string_view message, int level);
  // Like print, but each line end of message starts a new output line (for multi-line replies).
  void printLines(std::string_view message, int level);

  // Appends text and a newline to the SHOW_HEADERS file, opening it on first use; false when it
  // cannot be opened.
  bool writeHeaders(std::string_view text);

  // Closes both files; only tests call this.
  void resetForTesting();

 private:
  Reporter() = default;
  void write(std::FILE* terminal, std::string_view prefix, std::string_view message, int level,
             bool keep_line_ends);

  std::ofstream log_stream_;
  std::ofstream headers_stream_;
};
