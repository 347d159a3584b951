// The scan: every message's size and header, judged in order 1..n, and a DELE for each condemned
// one. It is one loop over a window of commands in flight: send what the window allows, take the
// next reply, judge, queue its DELE. Where the server offers PIPELINING the window holds many
// commands; elsewhere it holds one, which is the plain one-command-at-a-time dialogue.

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "header/message_header.h"
#include "header/parse_header.h"
#include "net/connection.h"
#include "protocol/capabilities.h"
#include "protocol/command_window.h"
#include "protocol/incremental_scan.h"
#include "protocol/pop3.h"
#include "protocol/replies.h"
#include "report/reporter.h"

namespace {

using Kind = PendingCommand::Kind;

// The window where the server pipelines. 100 commands keep a link with a round trip of 40 ms
// busy at well under a millisecond per message; 1 MiB of replies expected at once is what the
// socket buffers on both sides take without the server having to stop, and far below what a
// run may hold in memory anyway (only the reply being judged is kept).
constexpr size_t kPipelinedCommands = 100;
constexpr size_t kPipelinedBytes = size_t{1} << 20;
// A status line, or a TOP reply's status line, dot-stuffing and "." line beyond its header.
constexpr size_t kShortReply = 64;
// What a TOP reply's header is expected to take: a long header, or the whole message where that
// is shorter (or its size is not known yet). Counting a large message's whole size would hold the
// window at one or two commands for a reply of a few kilobytes; a header that is longer than
// expected only makes the server wait for the socket, as commands take a few bytes each.
constexpr size_t kExpectedHeader = 16 << 10;

const char* failure(Kind kind) {
  switch (kind) {
    case Kind::kList:
      return "Error occurred while sending LIST to server.";
    case Kind::kTop:
      return "Error occurred while sending TOP to server.";
    case Kind::kDele:
      break;
  }
  return "Error occurred while sending DELE to server.";
}

std::string text(const PendingCommand& command) {
  const std::string number = std::to_string(command.number);
  switch (command.kind) {
    case Kind::kList:
      return "LIST " + number + "\r\n";
    case Kind::kTop:
      return "TOP " + number + " 0\r\n";
    case Kind::kDele:
      break;
  }
  return "DELE " + number + "\r\n";
}

// What is still to be sent, in the order it must go: the DELE of a message just judged first,
// then the next message's LIST (when sizes are asked one by one) and its TOP.
class Outbox {
 public:
  // From message first on; sizes: every message's size from one LIST, or null to ask for each
  // size with LIST n.
  Outbox(int first, int count, const std::vector<int>* sizes)
      : count_(count), sizes_(sizes), message_(first) {}

  std::optional<PendingCommand> next() const {
    if (!deletions_.empty()) return PendingCommand{Kind::kDele, deletions_.front(), kShortReply};
    if (message_ > count_) return std::nullopt;
    if (sizes_ == nullptr && !listed_) return PendingCommand{Kind::kList, message_, kShortReply};
    const size_t header =
        sizes_ == nullptr ? kExpectedHeader
                          : std::min(static_cast<size_t>((*sizes_)[message_ - 1]), kExpectedHeader);
    return PendingCommand{Kind::kTop, message_, header + kShortReply};
  }
  // The command next() gave has been dealt with.
  void advance() {
    if (!deletions_.empty()) {
      deletions_.pop_front();
    } else if (sizes_ == nullptr && !listed_) {
      listed_ = true;
    } else {
      ++message_;
      listed_ = false;
    }
  }
  void deleteLater(int number) { deletions_.push_back(number); }
  // Whether a command next() gave is the first one for its message (its LIST, or its TOP when
  // the sizes are known), so the message can still be passed over whole.
  bool opensMessage(const PendingCommand& command) const {
    return command.kind == Kind::kList || (command.kind == Kind::kTop && sizes_ != nullptr);
  }
  // Passes over the message next() named without sending anything for it.
  void passOver() {
    ++message_;
    listed_ = false;
  }

 private:
  std::deque<int> deletions_;
  int count_;
  const std::vector<int>* sizes_;
  int message_;
  bool listed_ = false;
};

}  // namespace

int POP3::scan() {
  tally_ = {};
  Reporter& reporter = Reporter::instance();
  IncrementalScan* const known = incremental();
  // With the state file, a STAT answered just before is not asked again: nothing in the session
  // can have changed the mailbox since.
  const int count = known != nullptr && counted_ >= 0 ? counted_ : status();
  counted_ = -1;
  if (count < 0) {
    reporter.error("Error occurred while sending STAT to server.", 1);
    return -1;
  }
  if (known != nullptr && !known->list(*connection(), count)) {
    reporter.error("Error occurred while sending UIDL to server.", 1);
    return -1;
  }
  int first = 1;
  if (known != nullptr) {
    // The messages kept before that lead the mailbox are passed over before anything else is
    // asked: where nothing is new, the session needs neither CAPA nor sizes.
    const int passed = known->skipLeading(count);
    tally_.examined += passed;
    first = passed + 1;
  }
  const int result = scanMessages(first, count);
  if (result == 0 && known != nullptr) known->report();
  return result;
}

int POP3::scanMessages(int first, int count) {
  if (first > count) return 0;
  // PIPELINING = "no" keeps the plain dialogue: no CAPA, and LIST n for each message.
  if (!Settings::instance().pipelining()) return scanWindow(first, count, nullptr, false);
  const int pipelining = pipeliningOffered();
  if (pipelining < 0) return -1;
  // A few new messages among many kept ones: their LIST n ride in the pipeline beside their
  // TOP, where the one LIST would list every size of the mailbox.
  const IncrementalScan* const known = incremental();
  if (pipelining == 1 && known != nullptr && known->fewToFetch(first, count)) {
    return scanWindow(first, count, nullptr, true);
  }
  std::vector<int> sizes;
  const int listed = listAll(count, &sizes);
  if (listed < 0) return -1;
  return scanWindow(first, count, listed == 1 ? &sizes : nullptr, pipelining == 1);
}

int POP3::pipeliningOffered() {
  Connection& link = *connection();
  const char* const kFailed = "Error occurred while sending CAPA to server.";
  if (link.sendCommand("CAPA\r\n") < 0) {
    Reporter::instance().error(kFailed, 1);
    return -1;
  }
  const int got = read(true);
  if (got <= 0) {
    Reporter::instance().error(kFailed, 1);
    return -1;
  }
  // A server without CAPA says "-ERR"; it is then asked one command at a time.
  return positive(got) && Capabilities::parse(*link.lastReply()).has("PIPELINING") ? 1 : 0;
}

int POP3::listAll(int count, std::vector<int>* sizes) {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();
  const char* const kFailed = failure(Kind::kList);
  if (link.sendCommand("LIST\r\n") < 0) {
    reporter.error(kFailed, 1);
    return -1;
  }
  const int got = read(true);
  if (got <= 0) {
    reporter.error(kFailed, 1);
    return -1;
  }
  // A server that lists only one message at a time is asked with LIST n.
  if (!positive(got)) return 0;
  std::string fault;
  std::optional<std::vector<int>> listed = listedSizes(*link.lastReply(), count, &fault);
  if (!listed) {
    reporter.error(fault, 1);
    reporter.error(kFailed, 1);
    return -1;
  }
  *sizes = std::move(*listed);
  return 1;
}

int POP3::scanWindow(int first, int count, const std::vector<int>* sizes, bool pipelined) {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();
  CommandWindow window = pipelined ? CommandWindow(kPipelinedCommands, kPipelinedBytes)
                                   : CommandWindow(1, kPipelinedBytes);
  Outbox outbox(first, count, sizes);
  IncrementalScan* const known = incremental();
  std::deque<int> listed_sizes;  // LIST n replies whose message is not judged yet
  int judging = 0;               // messages whose LIST or TOP is in flight
  for (;;) {
    // Send what the window allows. Once the server has closed, the replies still in flight are
    // taken and judged as the plain dialogue would have, and nothing more is sent.
    for (std::optional<PendingCommand> command = outbox.next();
         command && window.fits(*command) && (window.empty() || !link.peerClosed());
         command = outbox.next()) {
      if (known != nullptr && outbox.opensMessage(*command) && known->remembered(command->number)) {
        // Whether a message kept before is a duplicate depends on every message before it, so
        // it is decided only once they are all judged.
        if (judging > 0) break;
        if (known->skip(command->number)) {
          ++tally_.examined;
          outbox.passOver();
          continue;
        }
      }
      outbox.advance();
      if (command->kind == Kind::kTop) ++judging;
      if (link.sendCommand(text(*command).c_str()) >= 0) {
        window.add(*command);
        if (command->kind == Kind::kDele) ++tally_.deleted;
      } else if (command->kind != Kind::kDele) {
        // A DELE that could not be sent leaves its message; the next command finds the fault.
        reporter.error(failure(command->kind), 1);
        in_step_ = window.empty();
        return -1;
      }
    }
    if (window.empty()) return 0;

    // Take the next reply: it answers the oldest command in flight.
    const PendingCommand command = window.answered();
    std::optional<ReplyLimit> header_limit;
    if (command.kind == Kind::kTop) header_limit.emplace(link, kHeaderReplyLimit);
    const int got = read(command.kind == Kind::kTop);
    header_limit.reset();
    if (command.kind == Kind::kDele) {
      // A refused DELE has been traced and leaves the message; a reply that never came leaves
      // the dialogue out of step.
      if (got > 0) continue;
      reporter.error(failure(command.kind), 1);
      return -1;
    }
    if (!positive(got)) {
      reporter.error(failure(command.kind), 1);
      reportRefusal(false);
      if (!window.empty()) in_step_ = false;
      return -1;
    }
    if (command.kind == Kind::kList) {
      const std::optional<int> size = listedSize(*link.lastReply(), command.number);
      if (!size) {
        reporter.error("The server's reply to LIST " + std::to_string(command.number) +
                           " cannot be read: \"" + std::string(statusLine(*link.lastReply())) +
                           "\".",
                       1);
        reporter.error(failure(command.kind), 1);
        if (!window.empty()) in_step_ = false;
        return -1;
      }
      listed_sizes.push_back(*size);
      continue;
    }

    // Judge; a condemned message's DELE goes out with the next sending.
    int size = 0;
    if (sizes != nullptr) {
      size = (*sizes)[command.number - 1];
    } else {
      size = listed_sizes.front();
      listed_sizes.pop_front();
    }
    std::string message_id;
    const int verdict = judge(command.number, size, &message_id);
    --judging;
    if (verdict < -1) {
      if (!window.empty()) in_step_ = false;
      return -1;
    }
    ++tally_.examined;
    if (known != nullptr) known->judged(command.number, verdict, message_id);
    if (verdict != 1) continue;
    if (Settings::instance().test()) {
      reporter.print("Debugging: Simulating DELE command.", 6);
      ++tally_.deleted;
    } else {
      outbox.deleteLater(command.number);
    }
  }
}

int POP3::judge(int number, int size, std::string* message_id) {
  Reporter& reporter = Reporter::instance();
  const std::string& reply = *connection()->lastReply();
  if (!Settings::instance().showHeaders().empty() && !reporter.writeHeaders(reply)) {
    reporter.error("Could not write headers to separate file.", 1);
  }
  MessageHeader header;
  header.setSize(size);
  // The header is parsed where it lies in the reply, past the status line; the reply is complete
  // up to its "." line, so no message is judged on half a header.
  std::string_view text(reply);
  const size_t line_feed = text.find('\n');
  if (line_feed != std::string_view::npos) text.remove_prefix(line_feed + 1);
  const int parsed = parseHeader(text, &header);
  if (parsed < 0) {
    reporter.error("Parsing the header of message " + std::to_string(number) + " failed.", 1);
    if (parsed == kWrongMessageId) {
      reporter.error(wrongMessageIdNotice(std::to_string(number), text), 1);
    }
    return -2;
  }
  const int verdict = FilterEngine::instance().filter(&header);
  *message_id = header.messageId();
  return verdict;
}
