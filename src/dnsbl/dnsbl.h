#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class MessageHeader;

// DNS block lists: the relay that handed a message to the provider, asked of each list while the
// scan reads on. A lookup that fails, errs or is late adds no points; it never condemns.
namespace dnsbl {

struct List {
  std::string zone;  // "zen.spamhaus.org"
  int points;        // added when the list lists the relay; negative for a white list
};

struct Config {
  std::vector<List> lists;
  // Extended POSIX expressions, case-insensitive, each already known to compile: a Received line
  // ("Received: from ...") that one matches is a hop of the provider's own.
  std::vector<std::string> trusted_relays;
  // "address[:port]"; empty for the system's resolver configuration.
  std::string server;
  // The most a message's verdict waits for its answers, from the moment its header arrived.
  int wait_ms = 5000;
};

// A list that lists the message's relay: its points go to the score.
struct Listing {
  std::string zone;
  std::string address;
  int points;
};

class BlockLists {
 public:
  using Ticket = uint64_t;

  explicit BlockLists(Config config);
  ~BlockLists();
  BlockLists(const BlockLists&) = delete;
  BlockLists& operator=(const BlockLists&) = delete;

  // Finds the message's relay and starts the lookups not made before in this run. The resolver
  // starts at the first call, so a process forked before then has one of its own.
  Ticket ask(const MessageHeader& header);
  // Whether every answer of the ticket is in, or its time is up. It does not wait.
  bool answered(Ticket ticket);
  // Serves the lookups until answered(ticket).
  void await(Ticket ticket);
  // The listings of an answered ticket, which is then forgotten. Level 5 shows the relay and each
  // lookup; a list that errs or is late is named once per run in a warning.
  std::vector<Listing> take(Ticket ticket);

  // For a poll loop that waits for something else meanwhile: appends the descriptors to watch
  // and returns the milliseconds until serve is due anyway (-1: not); serve takes the entries
  // watch appended, after the poll.
  int watch(std::vector<pollfd>* fds);
  void serve(std::span<const pollfd> fds);

  // For --check: the lists and the resolver, one line each, starting the resolver to see it.
  std::vector<std::string> describe();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The lists of this run: installed by the driver; null when no list is asked.
BlockLists* runLists();
void setRunLists(std::unique_ptr<BlockLists> lists);

}  // namespace dnsbl
