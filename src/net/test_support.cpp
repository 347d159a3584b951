#include "net/test_support.h"

#include <algorithm>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string_view>

#include "config/settings.h"
#include "report/reporter.h"

void FakeServer::send(std::vector<std::string> chunks) {
  for (std::string& chunk : chunks) outgoing_.push_back(std::move(chunk));
}

void FakeServer::expect(std::string command, std::vector<std::string> chunks) {
  script_.emplace_back(std::move(command), std::move(chunks));
}

long FakeTransport::receive(char* buffer, size_t size, int timeout_ms) {
  FakeServer& server = *server_;
  server.waits_.push_back(timeout_ms);
  server.written_at_receive_.push_back(server.written_.size());
  if (server.outgoing_.empty()) return server.end_of_stream_ ? 0 : kTimedOut;
  size_t taken = 0;
  do {
    std::string& chunk = server.outgoing_.front();
    const size_t n = std::min(size - taken, chunk.size());
    std::memcpy(buffer + taken, chunk.data(), n);
    taken += n;
    if (n == chunk.size()) {
      server.outgoing_.pop_front();
    } else {
      chunk.erase(0, n);
    }
  } while (server.join_chunks_ && taken < size && !server.outgoing_.empty());
  return static_cast<long>(taken);
}

long FakeTransport::send(const char* data, size_t size, int) {
  FakeServer& server = *server_;
  // Several commands written at once are taken one by one, as a server reads them.
  std::vector<std::string> commands;
  for (std::string_view rest(data, size); !rest.empty();) {
    const size_t end = rest.find("\r\n");
    const size_t length = end == std::string_view::npos ? rest.size() : end + 2;
    commands.emplace_back(rest.substr(0, length));
    rest.remove_prefix(length);
  }
  for (const std::string& text : commands) {
    if (server.fail_writes_ || std::find(server.failing_commands_.begin(),
                                         server.failing_commands_.end(),
                                         text) != server.failing_commands_.end()) {
      Reporter::instance().error("Broken pipe", 1);
      return kFailed;
    }
  }
  ++server.writes_;
  for (const std::string& text : commands) {
    server.written_.push_back(text);
    if (!server.script_.empty() && server.script_.front().first == text) {
      server.send(std::move(server.script_.front().second));
      server.script_.pop_front();
    } else if (server.answer_) {
      server.send(server.answer_(text));
    }
  }
  return static_cast<long>(size);
}

int FakeTransport::close() {
  server_->closed_ = true;
  return 0;
}

std::vector<std::string> splitAt(const std::string& text, const std::vector<size_t>& offsets) {
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t offset : offsets) {
    pieces.push_back(text.substr(from, offset - from));
    from = offset;
  }
  pieces.push_back(text.substr(from));
  return pieces;
}

LogCapture::LogCapture(int verbose) {
  static std::atomic<int> serial{0};
  path_ = std::filesystem::temp_directory_path() /
          ("pollensift-log-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
  Reporter::instance().resetForTesting();
  Settings::instance().resetForTesting();
  Settings::instance().setVerbose(verbose);
  Reporter::instance().openLog(path_.string());
}

LogCapture::~LogCapture() {
  Reporter::instance().resetForTesting();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> result;
  std::ifstream in(path_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    // Drop the time stamp ("Mon DD HH:MM:SS ").
    const size_t at = line.find(" pollensift: ");
    result.push_back(at == std::string::npos ? line : line.substr(at + 1));
  }
  return result;
}

std::vector<std::string> LogCapture::linesStartingWith(const std::string& prefix) const {
  std::vector<std::string> result;
  const std::string full = "pollensift: " + prefix;
  for (std::string& line : lines()) {
    if (line.starts_with(full)) result.push_back(std::move(line));
  }
  return result;
}
