#pragma once

#include <poll.h>

#include <span>
#include <vector>

// Work served while the connection waits for the network: the descriptors of another
// conversation (the block lists' DNS queries) are polled beside the server's, so that its
// answers come in while the server's replies do, without a thread.
class SideWait {
 public:
  virtual ~SideWait() = default;
  // Appends the descriptors to poll; returns the milliseconds until serve is due anyway, -1 for
  // never.
  virtual int watch(std::vector<pollfd>* fds) = 0;
  // After each poll: the entries watch appended, with their revents.
  virtual void serve(std::span<const pollfd> fds) = 0;
};

// Every wait of pollOne serves work from now on; null for none. The caller keeps it alive.
void setSideWait(SideWait* work);
