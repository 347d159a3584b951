#include "report/reporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "config/settings.h"

namespace {

// Creates the file with mode 0600 when it does not exist yet (it holds people's mail headers),
// then opens it for appending; an existing file keeps its mode.
bool openPrivateAppend(std::ofstream& stream, const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  stream.open(path, std::ios::out | std::ios::app | std::ios::binary);
  return stream.is_open();
}

}  // namespace

Reporter& Reporter::instance() {
  static Reporter* reporter = new Reporter();
  return *reporter;
}

bool Reporter::openLog(const std::string& path) {
  if (path.empty()) return false;
  return openPrivateAppend(log_stream_, path);
}

std::string Reporter::timeStamp() {
  char buffer[64];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const size_t n = std::strftime(buffer, sizeof buffer, "%b %d %H:%M:%S", &local);
  return std::string(buffer, n);
}

void Reporter::write(std::FILE* terminal, std::string_view prefix, std::string_view message,
                     int level, bool keep_line_ends) {
  if (Settings::instance().verbose() < level) return;
  std::string line = timeStamp();
  line += prefix;
  line += escapeControls(message, keep_line_ends);
  if (line.empty() || line.back() != '\n') line += '\n';
  std::fwrite(line.data(), 1, line.size(), terminal);
  std::fflush(terminal);
  if (log_stream_.is_open()) {
    log_stream_.write(line.data(), static_cast<std::streamsize>(line.size()));
    log_stream_.flush();
  }
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

bool Reporter::writeHeaders(std::string_view text) {
  if (!headers_stream_.is_open()) {
    const std::string& path = Settings::instance().showHeaders();
    if (path.empty() || !openPrivateAppend(headers_stream_, path)) return false;
  }
  headers_stream_.write(text.data(), static_cast<std::streamsize>(text.size()));
  headers_stream_ << '\n';
  headers_stream_.flush();
  return true;
}

void Reporter::resetForTesting() {
  log_stream_.close();
  log_stream_.clear();
  headers_stream_.close();
  headers_stream_.clear();
}
