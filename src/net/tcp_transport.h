#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "net/transport.h"

// Owns one descriptor and closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  // Closes the descriptor: the result of close(), or -1 when none was open.
  int reset();

 private:
  int fd_ = -1;
};

// One point in time that a whole connection set-up must finish by; none for a time-out of 0.
class Deadline {
 public:
  explicit Deadline(int seconds);
  // A deadline that has passed already: nothing may be waited for.
  static Deadline expired();
  bool passed() const;
  // Milliseconds left for poll(): -1 without a deadline, 0 once it has passed.
  int remainingMs() const;

 private:
  std::optional<std::chrono::steady_clock::time_point> end_;
};

// poll() on one descriptor, restarted after a signal with the time that is left: 1 ready, 0 timed
// out, -1 failed (errno set). A negative timeout waits without a limit.
int pollOne(int fd, short events, int timeout_ms);

// The numeric addresses host resolves to (an address given as one is itself), each once; none
// when it cannot be resolved. Two names that share an address reach the same server.
std::vector<std::string> resolveAddresses(const std::string& host);

// Connects to host:port over TCP, trying each IPv4 and IPv6 address in turn, all before the
// deadline. Reports the reason of a failure itself and then returns an invalid descriptor; a
// connected descriptor is non-blocking and closed on exec.
UniqueFd connectTcp(const char* host, int port, const Deadline& deadline);

// Plain TCP over a connected non-blocking descriptor.
class TcpTransport : public Transport {
 public:
  explicit TcpTransport(UniqueFd fd) : fd_(std::move(fd)) {}
  long receive(char* buffer, size_t size, int timeout_ms) override;
  long send(const char* data, size_t size, int timeout_ms) override;
  int close() override { return fd_.reset(); }
  int closeInOrder(int wait_seconds) override;
  bool peerClosed() const override;
  bool pendingInput() const override;
  // Sends the acknowledgement of what has been read now instead of delaying it.
  void acknowledge() const;
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};
