#pragma once

#include <poll.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace dnsbl {

// What the DNS said to one A query.
struct Answer {
  enum class Kind { kAddresses, kNxdomain, kNoData, kTimedOut, kFailed };
  Kind kind = Kind::kFailed;
  std::vector<std::array<uint8_t, 4>> addresses;  // with kAddresses
  std::string problem;                            // with kFailed: the resolver's words
};

// A's queries through c-ares, served from the caller's poll loop: the resolver hands over its
// descriptors (watch) and reads what arrived on them (serve). No thread, no signal.
class Resolver {
 public:
  using Done = std::function<void(Answer)>;
  // The most queries sent and not yet answered; more wait in order. The scan brings 50 headers
  // at a time, so one list is answered in one round.
  static constexpr size_t kInFlight = 64;

  // server: "address[:port]" ("[v6]:port" for IPv6 with a port), or empty for the system's
  // resolver configuration. timeout_ms: how long one try waits for its answer. Null, with
  // *problem set, when c-ares cannot start.
  static std::unique_ptr<Resolver> open(const std::string& server, int timeout_ms,
                                        std::string* problem);
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Asks for the A records of name; done runs from serve (or at once when the query cannot be
  // sent), never after the resolver is gone.
  void ask(const std::string& name, Done done);
  // Appends the descriptors to poll; the milliseconds until serve is due anyway, -1 for never.
  int watch(std::vector<pollfd>* fds);
  // After a poll: the entries watch appended, with their revents.
  void serve(std::span<const pollfd> fds);
  // Whether some query is still unanswered.
  bool busy() const { return in_flight_ > 0 || !waiting_.empty(); }
  // The servers asked: "127.0.0.1:53, [::1]:53".
  std::string servers() const;

 private:
  struct Channel;
  struct Request;
  explicit Resolver(std::unique_ptr<Channel> channel);
  void send(const std::string& name, Done done);
  void startWaiting();

  std::unique_ptr<Channel> channel_;
  std::deque<std::pair<std::string, Done>> waiting_;
  size_t in_flight_ = 0;
};

}  // namespace dnsbl
