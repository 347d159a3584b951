#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/transport.h"

// A POP3 server played from a script, for tests without sockets. The server sends its greeting
// chunks, then answers each expected command with its chunks; once the script runs dry, reads
// time out (or see the end of the stream after endStream()).
class FakeServer {
 public:
  void send(std::vector<std::string> chunks);
  // When the client writes exactly command, the server answers with chunks.
  void expect(std::string command, std::vector<std::string> chunks);
  // Answers every text the script does not expect (next) with the chunks answer gives for it.
  void answerWith(std::function<std::vector<std::string>(const std::string&)> answer) {
    answer_ = std::move(answer);
  }
  // After everything scripted has been read, the stream ends instead of timing out.
  void endStream() { end_of_stream_ = true; }
  // Each receive takes as much of what has been sent as fits, across chunks, as a socket gives
  // what has arrived; by default it takes at most one chunk.
  void joinChunks() { join_chunks_ = true; }
  // Every write fails (the peer has gone), or only writes of exactly command.
  void failWrites() { fail_writes_ = true; }
  void failWrite(std::string command) { failing_commands_.push_back(std::move(command)); }

  // Every text the client wrote, in order; commands the script did not expect included.
  const std::vector<std::string>& written() const { return written_; }
  // The wait each receive call asked for, in milliseconds.
  const std::vector<int>& waits() const { return waits_; }
  // How many texts the client had written when it made each receive call.
  const std::vector<size_t>& writtenAtReceive() const { return written_at_receive_; }
  bool closed() const { return closed_; }
  // How many writes the client made; one write may carry several commands.
  size_t writes() const { return writes_; }

 private:
  friend class FakeTransport;
  std::deque<std::string> outgoing_;
  std::deque<std::pair<std::string, std::vector<std::string>>> script_;
  std::function<std::vector<std::string>(const std::string&)> answer_;
  std::vector<std::string> written_;
  std::vector<std::string> failing_commands_;
  std::vector<int> waits_;
  std::vector<size_t> written_at_receive_;
  bool end_of_stream_ = false;
  bool join_chunks_ = false;
  bool fail_writes_ = false;
  bool closed_ = false;
  size_t writes_ = 0;
};

class FakeTransport : public Transport {
 public:
  explicit FakeTransport(std::shared_ptr<FakeServer> server) : server_(std::move(server)) {}
  long receive(char* buffer, size_t size, int timeout_ms) override;
  long send(const char* data, size_t size, int timeout_ms) override;
  int close() override;
  bool pendingInput() const override { return !server_->outgoing_.empty(); }

 private:
  std::shared_ptr<FakeServer> server_;
};

// text cut before each of the given offsets (ascending, inside the text).
std::vector<std::string> splitAt(const std::string& text, const std::vector<size_t>& offsets);

// Resets the settings to their defaults, then sends the Reporter's lines at the given verbosity to a private log file for the test's life and
// reads them back without their time stamps: "pollensift: ..." or "pollensift: Error: ...".
class LogCapture {
 public:
  explicit LogCapture(int verbose = 6);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  // Only the lines whose text after "pollensift: " starts with prefix.
  std::vector<std::string> linesStartingWith(const std::string& prefix) const;

 private:
  std::filesystem::path path_;
};
