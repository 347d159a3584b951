#pragma once

// The scan's queue of commands still to send, and the MAX_DELETE limit on what it may delete.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/command_window.h"
#include "protocol/scan_parts.h"

namespace scan {

using Kind = PendingCommand::Kind;

// What a TOP reply's header is expected to take. A header that is longer than expected only makes
// the server wait for the socket, as commands take a few bytes each.
inline constexpr size_t kExpectedHeader = 16 << 10;

// What is still to be sent, in the order it must go: the DELE of a message just judged (or just
// quarantined) first, then the RETR of one to quarantine, then the next message's LIST n and its
// TOP n 0; or its TOP n 0 alone where every size came from one LIST (sizes).
class Outbox {
 public:
  Outbox(int first, int count, const std::vector<int>* sizes)
      : sizes_(sizes), count_(count), message_(first) {}

  std::optional<PendingCommand> next() const {
    if (!withholding_ && !deletions_.empty()) {
      return PendingCommand{Kind::kDele, deletions_.front(), kShortReply};
    }
    if (!withholding_ && !retrievals_.empty()) {
      const auto [number, size] = retrievals_.front();
      return PendingCommand{Kind::kRetr, number, static_cast<size_t>(size) + kShortReply};
    }
    if (message_ > count_) return std::nullopt;
    if (sizes_ == nullptr && !listed_) return PendingCommand{Kind::kList, message_, kShortReply};
    return PendingCommand{Kind::kTop, message_, kExpectedHeader + kShortReply};
  }
  // Every message has had its LIST and TOP sent (or been passed over).
  bool allAsked() const { return message_ > count_; }
  // The command next() gave has been dealt with.
  void advance() {
    if (!withholding_ && !deletions_.empty()) {
      deletions_.pop_front();
    } else if (!withholding_ && !retrievals_.empty()) {
      retrievals_.pop_front();
    } else if (sizes_ == nullptr && !listed_) {
      listed_ = true;
    } else {
      ++message_;
      listed_ = false;
    }
  }
  void deleteLater(int number) { deletions_.push_back(number); }
  // The DELEs and RETRs queued and not yet sent.
  int queued() const { return static_cast<int>(deletions_.size() + retrievals_.size()); }
  void retrieveLater(int number, int size) { retrievals_.emplace_back(number, size); }
  // Keeps every DELE and RETR back, until release, while the messages are asked for and judged.
  void withhold() { withholding_ = true; }
  bool withholding() const { return withholding_; }
  void release() { withholding_ = false; }
  // Whether a command next() gave is the first one for its message (its LIST, or its TOP where
  // the sizes are listed), so the message can still be passed over whole.
  bool opensMessage(const PendingCommand& command) const {
    return command.kind == Kind::kList || (command.kind == Kind::kTop && sizes_ != nullptr);
  }
  // The listed size of message number; only where the sizes are listed.
  int size(int number) const { return (*sizes_)[static_cast<size_t>(number - 1)]; }
  bool sizesListed() const { return sizes_ != nullptr; }
  // From the next message on, each TOP n 0 follows its LIST n again.
  void askSizes() {
    sizes_ = nullptr;
    listed_ = false;
  }
  // Passes over the message next() named without sending anything for it.
  void passOver() {
    ++message_;
    listed_ = false;
  }

 private:
  const std::vector<int>* sizes_;
  std::deque<int> deletions_;
  std::deque<std::pair<int, int>> retrievals_;  // message number and listed size
  int count_;
  int message_;
  bool listed_ = false;
  bool withholding_ = false;
};

// MAX_DELETE: a run that would delete more than that share of a mailbox deletes none of it, since
// rules that condemn most of a mailbox are far more often wrong than right. A mailbox of a few
// messages is left out: one spam among three is no sign of a wrong rule.
class DeletionLimit {
 public:
  static constexpr int kSmallestLimited = 10;
  DeletionLimit(int percent, int messages) : percent_(percent), messages_(messages) {}
  bool applies() const { return percent_ > 0 && messages_ >= kSmallestLimited; }
  void condemned(const std::string& by) {
    ++condemned_;
    ++by_[by];
  }
  bool exceeded() const {
    return applies() && int64_t{condemned_} * 100 > int64_t{percent_} * messages_;
  }
  // The error line of a run that the limit stops; test says whether it is a trial (-t).
  std::string refusal(bool test) const {
    const auto most = std::max_element(by_.begin(), by_.end(), [](const auto& a, const auto& b) {
      return a.second < b.second;
    });
    const std::string share = std::to_string(int64_t{condemned_} * 100 / messages_);
    return "MAX_DELETE = " + std::to_string(percent_) +
           (test ? " would hold back every deletion of a run without -t: "
                 : " holds back every deletion: ") +
           std::to_string(condemned_) + " of the mailbox's " + std::to_string(messages_) +
           " messages (" + share + "%) are condemned, " + std::to_string(most->second) +
           " of them by " + most->first + (test ? "; none would be deleted." : "; none is deleted.");
  }

 private:
  int percent_;
  int messages_;
  int condemned_ = 0;
  std::map<std::string, int> by_;
};

}  // namespace scan
