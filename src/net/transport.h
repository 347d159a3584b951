#pragma once

#include <cstddef>

struct TlsPeer;

// The byte stream under a Socket: plain TCP, or TLS over it for the SSL protocols. A transport
// reports its own failures through the Reporter before it returns kFailed; time-outs and the end
// of the stream are left to the caller, which knows what it was waiting for.
class Transport {
 public:
  static constexpr long kFailed = -1;
  static constexpr long kTimedOut = -2;

  virtual ~Transport() = default;
  // Waits up to timeout_ms for data (negative: no limit), then reads at most size bytes: the
  // count read, 0 at the end of the stream, kTimedOut or kFailed.
  virtual long receive(char* buffer, size_t size, int timeout_ms) = 0;
  // Writes all of data, waiting up to timeout_ms whenever the peer takes nothing more: size,
  // kTimedOut or kFailed. A peer that has gone away must not raise SIGPIPE.
  virtual long send(const char* data, size_t size, int timeout_ms) = 0;
  // 0, or -1 from the system.
  virtual int close() = 0;
  // Closes once the peer has had what was sent: the write side is ended, and whatever the peer
  // still sends is read and dropped until it closes too or wait_seconds have passed. Closing with
  // unread bytes resets the stream, and a reset may throw away commands the peer has not read.
  virtual int closeInOrder(int /*wait_seconds*/) { return close(); }
  // Whether the peer has ended its side of the stream: nothing will follow what has arrived.
  // It does not wait.
  virtual bool peerClosed() const { return false; }
  // Whether bytes have arrived that nobody has read yet. It does not wait.
  virtual bool pendingInput() const { return false; }
  // What the TLS hand-shake showed; null for a plain stream.
  virtual const TlsPeer* tlsPeer() const { return nullptr; }
};
