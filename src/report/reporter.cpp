#include "report/reporter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "report/job_records.h"
#include "report/warning.h"
#include "report/progress.h"

namespace {

const std::string kHidden = "*****";

}  // namespace

Reporter& Reporter::instance() {
  static Reporter* reporter = new Reporter();
  return *reporter;
}

bool Reporter::openLog(const std::string& path) {
  log_problem_.clear();
  if (path.empty()) return false;
  if (!log_.open(path, &log_problem_)) return false;
  log_path_ = path;
  setWarningLog([this](const std::string& line) { appendToLog(timeStamp() + " " + line + "\n"); });
  return true;
}

std::string Reporter::timeStamp() {
  char buffer[64];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const size_t n = std::strftime(buffer, sizeof buffer, "%b %d %H:%M:%S", &local);
  return std::string(buffer, n);
}

void Reporter::noteWriteFailure(const char* file_kind, const std::string& path, int error) {
  if (!write_failure_.empty()) return;
  write_failure_ = std::string("Could not write to ") + file_kind + " '" + escapeControls(path) +
                   "': " + std::strerror(error) + ".";
  // Said at once on the terminal, and in the log unless the log is what failed.
  const std::string line = timeStamp() + " pollensift: Error: " + write_failure_ + "\n";
  if (level_ >= 1) {
    eraseProgress();
    std::fflush(stdout);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  if (std::strcmp(file_kind, "log file") != 0) appendToLog(line);
}

void Reporter::appendToLog(const std::string& line) {
  if (holding_) {
    held_.emplace_back('l', line);
    return;
  }
  if (divert_fd_ >= 0) {
    job_records::send(divert_fd_, 'l', line);
    return;
  }
  if (!log_.isOpen()) return;
  if (const int error = log_.write(line)) noteWriteFailure("log file", log_path_, error);
}

void Reporter::write(std::FILE* terminal, std::string_view prefix, std::string_view message,
                     int level, bool keep_line_ends) {
  if (level_ < level) return;
  std::string line = timeStamp();
  line += prefix;
  line += escapeControls(message, keep_line_ends);
  if (line.empty() || line.back() != '\n') line += '\n';
  if (holding_) {
    held_.emplace_back(terminal == stderr ? 'e' : 'o', std::move(line));
    return;
  }
  if (divert_fd_ >= 0) {
    job_records::send(divert_fd_, terminal == stderr ? 'e' : 'o', line);
    return;
  }
  eraseProgress();
  std::fwrite(line.data(), 1, line.size(), terminal);
  std::fflush(terminal);
  appendToLog(line);
}

void Reporter::print(std::string_view message, int level) {
  write(stdout, " pollensift: ", message, level, false);
}

void Reporter::error(std::string_view message, int level) {
  write(stderr, " pollensift: Error: ", message, level, false);
}

void Reporter::printLines(std::string_view message, int level) {
  write(stdout, " pollensift: ", message, level, true);
}

void Reporter::hideSecret(std::string_view secret) {
  if (secret.empty() || std::find(secrets_.begin(), secrets_.end(), secret) != secrets_.end()) {
    return;
  }
  const auto at = std::find_if(secrets_.begin(), secrets_.end(), [&](const std::string& known) {
    return known.size() < secret.size();
  });
  secrets_.emplace(at, secret);
}

namespace {
// A secret this short stands inside many words ("p" in "password"): hidden inside one it would
// make the server's words unreadable and tell what it is.
constexpr size_t kShortSecret = 4;

bool wordCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Whether text[at, at + length) runs on into a word on either side.
bool insideWord(const std::string& text, size_t at, size_t length) {
  return (at > 0 && wordCharacter(text[at - 1])) ||
         (at + length < text.size() && wordCharacter(text[at + length]));
}
}  // namespace

std::string Reporter::withoutSecrets(std::string_view text) const {
  std::string shown(text);
  for (const std::string& secret : secrets_) {
    const bool whole_words_only = secret.size() < kShortSecret;
    size_t at = shown.find(secret);
    while (at != std::string::npos) {
      if (whole_words_only && insideWord(shown, at, secret.size())) {
        at = shown.find(secret, at + 1);
        continue;
      }
      shown.replace(at, secret.size(), kHidden);
      at = shown.find(secret, at + kHidden.size());
    }
  }
  return shown;
}

bool Reporter::writeHeaders(std::string_view text) {
  if (divert_fd_ >= 0) return job_records::send(divert_fd_, 'h', text);
  const std::string& path = headers_path_;
  if (!headers_.isOpen()) {
    std::string problem;
    if (path.empty() || !headers_.open(path, &problem)) return false;
  }
  std::string record(text);
  record += '\n';
  if (const int error = headers_.write(record)) {
    const bool first = write_failure_.empty();
    noteWriteFailure("headers store file", path, error);
    return !first;
  }
  return true;
}

void Reporter::replay(char kind, std::string_view text) {
  if (kind == 'h') {
    writeHeaders(text);
    return;
  }
  const std::string line(text);
  if (kind == 'o' || kind == 'e') {
    std::FILE* terminal = kind == 'e' ? stderr : stdout;
    eraseProgress();
    std::fwrite(line.data(), 1, line.size(), terminal);
    std::fflush(terminal);
  }
  appendToLog(line);
}

void Reporter::releaseHeldLines(bool write) {
  holding_ = false;
  std::vector<std::pair<char, std::string>> lines;
  lines.swap(held_);
  if (!write) return;
  for (const auto& [kind, line] : lines) {
    if (divert_fd_ >= 0) {
      job_records::send(divert_fd_, kind, line);
    } else {
      replay(kind, line);
    }
  }
}

void Reporter::resetForTesting() {
  log_.close();
  headers_.close();
  log_path_.clear();
  log_problem_.clear();
  write_failure_.clear();
  secrets_.clear();
  holding_ = false;
  held_.clear();
  clearWarningsForTesting();
}

void Reporter::divertProgress(int judged, int deleted, int total) {
  if (divert_fd_ < 0) return;
  job_records::send(divert_fd_, 'p',
                    std::to_string(judged) + " " + std::to_string(deleted) + " " +
                        std::to_string(total));
}
