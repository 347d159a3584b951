#include "net/tcp_transport.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/side_wait.h"
#include "report/reporter.h"

namespace {

using Clock = std::chrono::steady_clock;

struct AddrinfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoFree>;

void reportErrno(int error_number) { Reporter::instance().error(std::strerror(error_number), 1); }

}  // namespace

namespace {

SideWait* side_wait = nullptr;

// pollOne with side work: the side's descriptors are polled too and served whenever they are
// ready or due, until fd is ready or the time is up.
int pollBeside(int fd, short events, int timeout_ms) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<pollfd> entries;
  for (;;) {
    entries.assign(1, pollfd{fd, events, 0});
    int wait_ms = side_wait->watch(&entries);
    int left_ms = -1;
    if (timeout_ms >= 0) {
      left_ms = static_cast<int>(std::max<long>(
          0, std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count()));
    }
    if (wait_ms < 0 || (left_ms >= 0 && left_ms < wait_ms)) wait_ms = left_ms;
    const int ready = ::poll(entries.data(), entries.size(), wait_ms);
    if (ready < 0 && errno != EINTR) return ready;
    if (ready < 0) entries.resize(1);
    side_wait->serve(std::span<const pollfd>(entries).subspan(1));
    if (ready > 0 && entries[0].revents != 0) return 1;
    if (timeout_ms >= 0 && Clock::now() >= end) return 0;
  }
}

}  // namespace

void setSideWait(SideWait* work) {
  side_wait = work;
}

std::vector<std::string> resolveAddresses(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<std::string> addresses;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  const AddrinfoList list(found);
  for (const addrinfo* address = list.get(); address != nullptr; address = address->ai_next) {
    char numeric[NI_MAXHOST];
    if (::getnameinfo(address->ai_addr, address->ai_addrlen, numeric, sizeof numeric, nullptr, 0,
                      NI_NUMERICHOST) != 0) {
      continue;
    }
    if (std::find(addresses.begin(), addresses.end(), numeric) == addresses.end()) {
      addresses.emplace_back(numeric);
    }
  }
  return addresses;
}

int pollOne(int fd, short events, int timeout_ms) {
  if (side_wait != nullptr) return pollBeside(fd, events, timeout_ms);
  const Clock::time_point start = Clock::now();
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, timeout_ms);
    if (ready >= 0 || errno != EINTR) return ready;
    if (timeout_ms > 0) {
      const auto spent =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (spent >= timeout_ms) return 0;
      timeout_ms -= static_cast<int>(spent);
    }
  }
}

namespace {

enum class Attempt { kConnected, kFailed, kTimedOut };

// One non-blocking connect, awaited with poll so the deadline holds without signals. A failure
// leaves the system's reason in *reason.
Attempt connectOne(int fd, const addrinfo& address, const Deadline& deadline, int* reason) {
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return Attempt::kConnected;
  if (errno != EINPROGRESS && errno != EINTR) {
    *reason = errno;
    return Attempt::kFailed;
  }
  const int ready = pollOne(fd, POLLOUT, deadline.remainingMs());
  if (ready == 0) return Attempt::kTimedOut;
  if (ready < 0) {
    *reason = errno;
    return Attempt::kFailed;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    *reason = errno;
    return Attempt::kFailed;
  }
  if (error != 0) {
    *reason = error;
    return Attempt::kFailed;
  }
  return Attempt::kConnected;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

int UniqueFd::reset() {
  if (fd_ < 0) return -1;
  return ::close(release());
}

Deadline::Deadline(int seconds) {
  if (seconds > 0) end_ = Clock::now() + std::chrono::seconds(seconds);
}

Deadline Deadline::expired() {
  Deadline deadline(0);
  deadline.end_ = Clock::now();
  return deadline;
}

bool Deadline::passed() const { return end_ && Clock::now() >= *end_; }

int Deadline::remainingMs() const {
  if (!end_) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end_ - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

UniqueFd connectTcp(const char* host, int port, const Deadline& deadline) {
  Reporter& reporter = Reporter::instance();
  static constexpr const char* kLookupError = "DNS look up error; is the hostname correct?";
  static constexpr const char* kConnectError = "Server connection could not be established.";
  static constexpr const char* kTimeout = "Timeout occurred.";
  if (host == nullptr) {
    reporter.error(kLookupError, 1);
    return UniqueFd();
  }
  if (port < 0 || port > 65535) {
    reporter.error(kConnectError, 1);
    return UniqueFd();
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int lookup = ::getaddrinfo(host, service.c_str(), &hints, &found);
  if (lookup != 0 || found == nullptr) {
    reporter.error(kLookupError, 1);
    reporter.error(std::string("Looking up the server '") + host + "' failed: " +
                       (lookup == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(lookup)) + ".",
                   1);
    return UniqueFd();
  }
  const AddrinfoList addresses(found);
  // Name resolution cannot be interrupted safely; it is measured against the deadline afterwards.
  if (deadline.passed()) {
    reporter.error(kTimeout, 1);
    return UniqueFd();
  }

  bool made_socket = false;
  int reason = 0;  // errno of the last attempt that failed
  for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
    UniqueFd fd(::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                         address->ai_protocol));
    if (!fd.valid()) continue;
    made_socket = true;
    switch (connectOne(fd.get(), *address, deadline, &reason)) {
      case Attempt::kConnected: {
        // Pipelined commands go out as they are written. With Nagle's algorithm a command written
        // while an earlier one is unacknowledged would wait for that acknowledgement, which the
        // server may hold back (delayed acknowledgement) until it has a reply to carry it.
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return fd;
      }
      case Attempt::kTimedOut:
        reporter.error(kTimeout, 1);
        return UniqueFd();
      case Attempt::kFailed:
        break;
    }
    if (deadline.passed()) {
      reporter.error(kTimeout, 1);
      return UniqueFd();
    }
  }
  reporter.error(made_socket ? kConnectError : kLookupError, 1);
  if (made_socket && reason != 0) {
    reporter.error(std::string("Connecting to ") + host + " port " + service + " failed: " +
                       std::strerror(reason) + ".",
                   1);
  }
  return UniqueFd();
}

long TcpTransport::receive(char* buffer, size_t size, int timeout_ms) {
  for (;;) {
    // The bytes are often there already (the rest of a long reply): read first and wait only
    // when nothing is, which spares a poll per read without changing how long a wait may last.
    const ssize_t got = ::recv(fd_.get(), buffer, size, MSG_DONTWAIT);
    if (got > 0) acknowledge();
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    // A server that closes while commands it has not read are on their way resets the
    // connection instead of closing it in order; everything it sent before has been read.
    if (errno == ECONNRESET) return 0;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      reportErrno(errno);
      return kFailed;
    }
    const int ready = pollOne(fd_.get(), POLLIN, timeout_ms);
    if (ready == 0) return kTimedOut;
    if (ready < 0) {
      reportErrno(errno);
      return kFailed;
    }
  }
}

int TcpTransport::closeInOrder(int wait_seconds) {
  if (fd_.get() < 0) return -1;
  if (::shutdown(fd_.get(), SHUT_WR) == 0 && wait_seconds > 0) {
    const Deadline deadline(wait_seconds);
    char scratch[4096];
    for (;;) {
      const int left_ms = deadline.remainingMs();
      if (left_ms <= 0 || pollOne(fd_.get(), POLLIN, left_ms) <= 0) break;
      const ssize_t got = ::recv(fd_.get(), scratch, sizeof scratch, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        break;
      }
    }
  }
  return fd_.reset();
}

bool TcpTransport::peerClosed() const {
  pollfd entry{fd_.get(), POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void TcpTransport::acknowledge() const {
  // A server that does not set TCP_NODELAY holds a reply back until its previous one is
  // acknowledged, and Linux delays acknowledgements by up to 40 ms: with LIST n and TOP n 0 in
  // flight, every message would wait that long for the second reply. Acknowledge at once.
  const int on = 1;
  ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool TcpTransport::pendingInput() const {
  char byte = 0;
  return ::recv(fd_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

long TcpTransport::send(const char* data, size_t size, int timeout_ms) {
  size_t done = 0;
  while (done < size) {
    const ssize_t wrote = ::send(fd_.get(), data + done, size - done, MSG_NOSIGNAL);
    if (wrote > 0) {
      done += static_cast<size_t>(wrote);
      continue;
    }
    if (wrote == 0) errno = EPIPE;  // a stream socket does not take nothing; treat it as gone
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      const int ready = pollOne(fd_.get(), POLLOUT, timeout_ms);
      if (ready == 0) return kTimedOut;
      if (ready > 0) continue;
    }
    reportErrno(errno);
    return kFailed;
  }
  return static_cast<long>(done);
}
