#pragma once

#include <cstddef>
#include <deque>

// A command sent to the server whose reply has not been taken yet.
struct PendingCommand {
  enum class Kind { kList, kTop, kRetr, kDele };
  Kind kind;
  int number;
  // The most its reply is expected to take, in bytes.
  size_t reply_bytes;
};

// The commands in flight, oldest first. A POP3 server answers strictly in order, so the oldest
// command is always the one the next reply answers. The window is full at max_commands commands,
// or when one more reply would take the bytes expected beyond max_bytes; an empty window takes
// any command, so a single large reply is never shut out.
class CommandWindow {
 public:
  CommandWindow(size_t max_commands, size_t max_bytes)
      : max_commands_(max_commands), max_bytes_(max_bytes) {}

  bool fits(const PendingCommand& command) const {
    return in_flight_.empty() ||
           (in_flight_.size() < max_commands_ && bytes_ + command.reply_bytes <= max_bytes_);
  }
  void add(const PendingCommand& command) {
    in_flight_.push_back(command);
    bytes_ += command.reply_bytes;
  }
  // Removes and returns the command that the next reply answers.
  PendingCommand answered() {
    const PendingCommand command = in_flight_.front();
    in_flight_.pop_front();
    bytes_ -= command.reply_bytes;
    return command;
  }
  bool empty() const { return in_flight_.empty(); }
  // The command the next reply answers; the window must not be empty.
  const PendingCommand& oldest() const { return in_flight_.front(); }

 private:
  std::deque<PendingCommand> in_flight_;
  size_t max_commands_;
  size_t max_bytes_;
  size_t bytes_ = 0;
};
