// The scan: every message's size and header, judged in order 1..n, and a DELE for each condemned
// one. It is one loop over a window of commands in flight: send what the window allows, take the
// next reply, judge, queue its DELE. Where the server offers PIPELINING the window holds many
// commands; elsewhere it holds one, which is the plain one-command-at-a-time dialogue.
//
// A reply stream that slips (a reply missing, cut short, doubled, or split by a header line "."
// that the server did not dot-stuff) would have one message judged on another's header. So every
// TOP n 0 in a window of many is paired with LIST n just before it, whose reply names its message;
// a TOP reply that stops before its header's empty line must be as long as the message; and when
// the window has drained nothing more may have arrived. One command at a time, the sizes come from
// one LIST and each message costs TOP n 0 alone: a header cut short fails the size check, and
// only a server that sends the body as well could slip within one, so its messages go back to
// LIST n pairs. Whatever fails a check fails the scan, and the account
// check then withdraws every deletion of the session.

#include <algorithm>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "filter/seen_ids.h"
#include "header/line_ends.h"
#include "header/message_header.h"
#include "header/parse_header.h"
#include "net/connection.h"
#include "net/reply_reader.h"
#include "protocol/capabilities.h"
#include "protocol/command_window.h"
#include "protocol/incremental_scan.h"
#include "protocol/pop3.h"
#include "protocol/replies.h"
#include "protocol/server_words.h"
#include "quarantine/quarantine.h"
#include "report/progress.h"
#include "report/reporter.h"
#include "rules/rule_matcher.h"

namespace {

using Kind = PendingCommand::Kind;

// The window where the server pipelines. 100 commands (50 messages, each LIST n and TOP n 0) keep
// a link with a round trip of 40 ms busy at well under a millisecond per message; 1 MiB of
// replies expected at once is what the socket buffers on both sides take without the server
// having to stop, and far below what a run may hold in memory anyway (only the reply being
// judged is kept).
constexpr size_t kPipelinedCommands = 100;
constexpr size_t kPipelinedBytes = size_t{1} << 20;
// A status line, or a TOP reply's status line, dot-stuffing and "." line beyond its header.
constexpr size_t kShortReply = 64;
// What a TOP reply's header is expected to take. A header that is longer than expected only makes
// the server wait for the socket, as commands take a few bytes each.
constexpr size_t kExpectedHeader = 16 << 10;
// Mail systems refuse messages far smaller; a server that lists more is not to be believed, and
// what it sends must not fill the disk.
constexpr size_t kLargestQuarantined = size_t{1} << 30;
// TOP replies read ahead while the judging waits for earlier accounts: past this many bytes held
// the scan waits too. Some 2,000 headers of common size; a job holds no more than this.
constexpr size_t kHeldBytes = size_t{8} << 20;

const char* failure(Kind kind) {
  switch (kind) {
    case Kind::kList:
      return "Error occurred while sending LIST to server.";
    case Kind::kTop:
      return "Error occurred while sending TOP to server.";
    case Kind::kRetr:
      return "Error occurred while sending RETR to server.";
    case Kind::kDele:
      break;
  }
  return "Error occurred while sending DELE to server.";
}

// Whether the reply to a command of this kind runs to a "." line.
bool multiLine(Kind kind) { return kind == Kind::kTop || kind == Kind::kRetr; }

std::string text(const PendingCommand& command) {
  const std::string number = std::to_string(command.number);
  switch (command.kind) {
    case Kind::kList:
      return "LIST " + number + "\r\n";
    case Kind::kTop:
      return "TOP " + number + " 0\r\n";
    case Kind::kRetr:
      return "RETR " + number + "\r\n";
    case Kind::kDele:
      break;
  }
  return "DELE " + number + "\r\n";
}

// What is still to be sent, in the order it must go: the DELE of a message just judged (or just
// quarantined) first, then the RETR of one to quarantine, then the next message's LIST n and its
// TOP n 0; or its TOP n 0 alone where every size came from one LIST (sizes).
class Outbox {
 public:
  Outbox(int first, int count, const std::vector<int>* sizes)
      : sizes_(sizes), count_(count), message_(first) {}

  std::optional<PendingCommand> next() const {
    if (!deletions_.empty()) return PendingCommand{Kind::kDele, deletions_.front(), kShortReply};
    if (!retrievals_.empty()) {
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
    if (!deletions_.empty()) {
      deletions_.pop_front();
    } else if (!retrievals_.empty()) {
      retrievals_.pop_front();
    } else if (sizes_ == nullptr && !listed_) {
      listed_ = true;
    } else {
      ++message_;
      listed_ = false;
    }
  }
  void deleteLater(int number) { deletions_.push_back(number); }
  void retrieveLater(int number, int size) { retrievals_.emplace_back(number, size); }
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
};

constexpr std::string_view kEndLine = ".\r\n";
constexpr std::string_view kHeaderTail = "\r\n.\r\n";

// The header of a TOP reply as it is parsed: past the status line, ending at its first empty
// line, as in saved mail (a server that ignores TOP's line count sends the body after it, which
// is then left out, and *left_out says so), with line ends of more than one CR made CR LF as saved
// mail reads them; in *buffer where it had to be rebuilt. nullopt where the header has no empty
// line yet is shorter than the message's listed size: it was cut short by a "." line inside it,
// and what follows would be read as later replies.
std::optional<std::string_view> headerOf(const std::string& reply, int size, std::string* buffer,
                                         bool* left_out = nullptr) {
  std::string_view text(reply);
  const size_t line_feed = text.find('\n');
  if (line_feed != std::string_view::npos) text.remove_prefix(line_feed + 1);
  buffer->clear();
  if (const size_t end = headerEnd(text); end != std::string_view::npos) {
    // What follows the header's empty line must be the "." line alone.
    const size_t after_empty = text.find('\n', end) + 1;
    if (text.substr(after_empty) != kEndLine) {
      if (left_out != nullptr) *left_out = true;
      buffer->reserve(end + kHeaderTail.size());
      buffer->append(text.substr(0, end)).append(kHeaderTail);
      text = *buffer;
    }
  } else if (text.ends_with(kEndLine) &&
             text.size() - kEndLine.size() < static_cast<size_t>(size)) {
    return std::nullopt;
  }
  if (std::string rebuilt; withSingleCarriageReturns(text, &rebuilt)) {
    *buffer = std::move(rebuilt);
    text = *buffer;
  }
  return text;
}

// Whether header is the stand-in a server sends for one it will not show without UTF8.
bool isStandIn(const MessageHeader& header) {
  return header.subject().find("Cannot display Unicode content") != std::string::npos &&
         header.from().find("Mail Delivery Subsystem") != std::string::npos;
}

}  // namespace

int POP3::scan() {
  tally_ = {};
  Reporter& reporter = Reporter::instance();
  IncrementalScan* const known = incremental();
  // A STAT answered just before is not asked again, with the state file or where the server
  // pipelines: nothing in the session can have changed the mailbox since. Elsewhere the dialogue
  // stays as it always was.
  const int count = (known != nullptr || pipelines()) && counted_ >= 0 ? counted_ : status();
  counted_ = -1;
  const bool uidl_asked = uidl_asked_;
  uidl_asked_ = false;
  if (count < 0) {
    reporter.error("Error occurred while sending STAT to server.", 1);
    return -1;
  }
  if (known != nullptr && !known->list(*connection(), count, uidl_asked)) {
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
  // Judged or failed, no more of this account's Message-IDs are to come.
  FilterEngine::instance().seenSettled();
  if (result == 0 && known != nullptr) known->report();
  return result;
}

int POP3::scanMessages(int first, int count) {
  if (first > count) return 0;
  // Messages are to be judged: the rules' matcher is built while the dialogue goes on.
  prepareRuleMatcher();
  if (!prepareScan()) return -1;
  const bool pipelined = Settings::instance().pipelining() &&
                         (pipelines() || after_login_.has("PIPELINING"));
  if (pipelined) return scanWindow(first, count, true, nullptr);
  // One command at a time: every size from one LIST leaves each message one round trip (TOP n 0)
  // instead of two, where more than one message is to be fetched.
  IncrementalScan* const known = incremental();
  int fetched = 0;
  for (int number = first; number <= count && fetched < 2; ++number) {
    if (known == nullptr || !known->remembered(number)) ++fetched;
  }
  std::vector<int> sizes;
  if (fetched > 1) {
    const int listed = listAll(count, &sizes);
    if (listed < 0) return -1;
  }
  return scanWindow(first, count, false, sizes.empty() ? nullptr : &sizes);
}

int POP3::listAll(int count, std::vector<int>* sizes) {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();
  if (link.sendCommand("LIST\r\n") < 0 || read(true) <= 0) {
    reporter.error(failure(Kind::kList), 1);
    return -1;
  }
  // A server that refuses the listing, or lists other than messages 1..count in order, is asked
  // LIST n for each message instead.
  if (!positive(1)) {
    refusal_.clear();
    return 0;
  }
  std::optional<std::vector<int>> listed = listedSizes(*link.lastReply(), count);
  if (!listed) return 0;
  *sizes = std::move(*listed);
  return 1;
}

int POP3::scanWindow(int first, int count, bool pipelined, const std::vector<int>* sizes) {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();
  CommandWindow window = pipelined ? CommandWindow(kPipelinedCommands, kPipelinedBytes)
                                   : CommandWindow(1, kPipelinedBytes);
  Outbox outbox(first, count, sizes);
  IncrementalScan* const known = incremental();
  int listed_size = 0;  // the size of the message whose TOP reply comes next
  int judging = 0;      // messages whose LIST or TOP is in flight
  // With QUARANTINE in a live run, a condemned message is fetched whole and stored before its
  // DELE goes out; the verdict field and listed size of each one whose RETR is on its way, by
  // number.
  const Settings& settings = Settings::instance();
  const bool quarantining = !settings.test() && !settings.quarantine().empty();
  std::unique_ptr<Quarantine> quarantine;
  if (quarantining) {
    std::string problem;
    quarantine = Quarantine::open(settings.quarantine(), &problem);
    if (!quarantine) {
      reporter.error("The quarantine cannot be used: " + problem +
                         " No message of this account is deleted.",
                     1);
    }
  }
  struct ToStore {
    std::string field;
    int size;  // as listed
  };
  std::map<int, ToStore> fields;
  ScanProgress progress(loginOptions().user + "@" + loginOptions().host, count,
                        Settings::instance().verbose(), Settings::instance().test());
  // Any reply that is not read in turn leaves the replies still in flight unaccounted for.
  auto lostStep = [&] {
    if (!window.empty()) in_step_ = false;
    return -1;
  };
  FilterEngine& engine = FilterEngine::instance();
  // Only the replies before the first judgement are read ahead (see below): nothing but LIST and
  // TOP is in flight then, so whatever fails can wait for the verdicts of what was read before it.
  const bool traced = settings.verbose() >= 6;
  bool reading_ahead = !traced;
  // Judges one TOP reply and queues a condemned message's DELE (or RETR); false when the scan
  // has failed.
  auto judgeReply = [&](int number, int size, const std::string& reply) {
    reading_ahead = false;
    std::string message_id;
    const int verdict = judge(number, count, size, reply, &message_id);
    --judging;
    if (verdict < -1) return false;
    ++tally_.examined;
    if (known != nullptr) known->judged(number, verdict, message_id);
    // The last message judged: its account's Message-IDs are all there is to see of it.
    if (judging == 0 && outbox.allAsked()) engine.seenSettled();
    if (verdict == 1 && settings.test()) {
      reporter.print("Debugging: Simulating DELE command.", 6);
      ++tally_.deleted;
    }
    progress.update(tally_.examined, tally_.deleted);
    if (verdict != 1 || settings.test()) return true;
    if (!quarantining) {
      outbox.deleteLater(number);
      ++deletions_awaiting_quit;
    } else if (!quarantine) {
      ++tally_.unstored;
    } else if (static_cast<size_t>(size) > kLargestQuarantined) {
      reporter.error("Message " + std::to_string(number) + " is larger than " +
                         std::to_string(kLargestQuarantined) +
                         " bytes, so it is not quarantined and stays on the server.",
                     1);
      ++tally_.unstored;
    } else {
      const LoginOptions& options = loginOptions();
      fields[number] = {verdictFieldLine(engine.lastReason(), options.user + "@" + options.host,
                                         std::time(nullptr)),
                        size};
      outbox.retrieveLater(number, size);
      ++deletions_awaiting_quit;
    }
    return true;
  };
  // Accounts checked at once with DEL_DUPLICATES judge only once the accounts before them are
  // done. Until then the TOP replies are read ahead and held, in order, up to kHeldBytes, and
  // judged when the turn comes, which the first of them waits for; no DELE goes out before. The
  // dialogue's trace (verbosity 6) would show the reading ahead, so there the scan waits at once.
  struct Held {
    int number;
    int size;
    std::string reply;
  };
  std::deque<Held> held;
  size_t held_bytes = 0;
  // The Message-IDs that judging what is held will add to those seen, in order: those of the
  // messages before the first whose judging fails, as that ends the scan (judge below).
  auto announceSeen = [&] {
    if (!engine.seenAwaited()) return;
    SeenIds own;
    std::string cut;
    for (const Held& next : held) {
      const std::optional<std::string_view> text = headerOf(next.reply, next.size, &cut);
      MessageHeader header;
      header.setSize(next.size);
      if (!text || parseHeader(*text, &header) < 0) break;
      const std::string key = FilterEngine::seenKey(header.messageId());
      if (!key.empty()) own.insert(key);
    }
    engine.seenSettledAhead(own);
  };
  // However the scan ends, the log goes on writing lines as they come.
  struct LinesFlow {
    ~LinesFlow() { Reporter::instance().releaseHeldLines(true); }
  } lines_flow;
  // Judges what was held, then writes the lines that reading on gave meanwhile; false when the
  // judging failed (those lines are then dropped: one after another, the scan would have ended
  // before the reading that gave them).
  auto judgeHeld = [&] {
    reporter.holdLines(false);
    bool judged = true;
    while (judged && !held.empty()) {
      const Held next = std::move(held.front());
      held.pop_front();
      judged = judgeReply(next.number, next.size, next.reply);
    }
    held.clear();
    held_bytes = 0;
    reporter.releaseHeldLines(judged);
    return judged;
  };
  for (;;) {
    // Once the turn has come (or the bytes held are many) what was held is judged, so that its
    // DELEs go out with the next sending.
    if (!held.empty() && (held_bytes >= kHeldBytes || !engine.seenAwaited()) && !judgeHeld()) {
      return lostStep();
    }
    // Send what the window allows, in one write. Once the server has closed, the replies still in
    // flight are taken and judged as the plain dialogue would have, and nothing more is sent.
    // While the next reply has already arrived whole, the window is left to drain: each write is
    // a system call that on loopback also runs the server's side of TCP, and refilling after
    // every reply would cost one per command. The server still has the rest of the window to
    // answer meanwhile, and the window is refilled before the scan would wait for a reply. The
    // dialogue's trace (verbosity 6) would then depend on how the replies arrived, so there the
    // window is refilled after every reply.
    std::string batch;
    std::optional<Kind> first_kind;
    std::optional<PendingCommand> next;
    if (window.empty() || traced || !link.replyBuffered(multiLine(window.oldest().kind))) {
      next = outbox.next();
    }
    if (next && window.fits(*next) && (window.empty() || !link.peerClosed())) {
      for (std::optional<PendingCommand> command = next; command && window.fits(*command);
           command = outbox.next()) {
        if (known != nullptr && outbox.opensMessage(*command) &&
            known->remembered(command->number)) {
          // Whether a message kept before is a duplicate depends on every message before it, so
          // it is decided only once they are all judged.
          if (judging > 0) break;
          if (known->skip(command->number)) {
            ++tally_.examined;
            progress.update(tally_.examined, tally_.deleted);
            outbox.passOver();
            continue;
          }
        }
        outbox.advance();
        if (outbox.opensMessage(*command)) ++judging;
        if (command->kind == Kind::kDele) ++tally_.marked;
        if (!first_kind || *first_kind == Kind::kDele) first_kind = command->kind;
        window.add(*command);
        batch += text(*command);
      }
    }
    if (!batch.empty() && link.sendCommands(batch) < 0) {
      in_step_ = false;
      if (!held.empty() && !judgeHeld()) return -1;
      reporter.error(failure(*first_kind), 1);
      return -1;
    }
    if (window.empty() && !held.empty()) {
      // Nothing more to read ahead: the judging waits for its turn now. Every message of the
      // account is here, so the Message-IDs its judging will add to those seen are known, and
      // the accounts after it need not wait for that judging too.
      if (known == nullptr && outbox.allAsked()) announceSeen();
      if (!judgeHeld()) return -1;
      continue;
    }
    if (window.empty()) {
      // Every reply has been taken: anything more from the server answers nothing we asked, so
      // some reply was not what it seemed.
      if (link.pendingInput()) {
        reporter.error("The server sent more than its replies to the commands: the replies are "
                       "out of step.",
                       1);
        in_step_ = false;
        return -1;
      }
      return 0;
    }

    // Take the next reply: it answers the oldest command in flight.
    const PendingCommand command = window.answered();
    if (command.kind == Kind::kRetr) {
      const auto held = fields.find(command.number);
      const int stored = store(command.number, held->second.size, *quarantine, held->second.field);
      fields.erase(held);
      if (stored < 0) return lostStep();
      if (stored == 1) {
        ++tally_.quarantined;
        outbox.deleteLater(command.number);
      } else {
        ++tally_.unstored;
      }
      continue;
    }
    std::optional<ReplyLimit> header_limit;
    if (command.kind == Kind::kTop) header_limit.emplace(link, kHeaderReplyLimit);
    const int got = read(command.kind == Kind::kTop);
    header_limit.reset();
    // What went wrong here comes after the verdicts of what was read before.
    if (!positive(got) && !held.empty() && !judgeHeld()) return lostStep();
    if (!positive(got)) {
      if (command.kind == Kind::kDele && got > 0) {
        // The message stays; so must every other, since this reply may not have been DELE's.
        const std::string number = std::to_string(command.number);
        const std::string words = serverWordsLine(
            refusal_, false, "The server refused to delete message " + number + ": ");
        refusal_.clear();
        reporter.error(words.empty() ? "The server refused to delete message " + number + "."
                                     : words,
                       1);
        return lostStep();
      }
      reporter.error(failure(command.kind), 1);
      reportRefusal(false);
      return lostStep();
    }
    if (command.kind == Kind::kDele) {
      ++tally_.deleted;
      progress.update(tally_.examined, tally_.deleted);
      continue;
    }
    if (command.kind == Kind::kList) {
      const std::optional<int> size = listedSize(*link.lastReply(), command.number);
      if (!size) {
        if (!held.empty() && !judgeHeld()) return lostStep();
        reporter.error("The server's reply to LIST " + std::to_string(command.number) +
                           " cannot be read: \"" + std::string(statusLine(*link.lastReply())) +
                           "\".",
                       1);
        reporter.error(failure(command.kind), 1);
        return lostStep();
      }
      listed_size = *size;
      continue;
    }

    if (outbox.sizesListed()) {
      listed_size = outbox.size(command.number);
      // Only a server that sends more than TOP asked for can have a "." line in a body it does
      // not dot-stuff cut the reply short, which the header's size check does not see: from
      // such a server the next messages' replies are paired with LIST n again.
      std::string rebuilt;
      bool body_sent = false;
      headerOf(*link.lastReply(), listed_size, &rebuilt, &body_sent);
      if (body_sent) outbox.askSizes();
    }
    // Judge; a condemned message's DELE goes out with the next sending. While the judging
    // waits for earlier accounts, the reply is held instead.
    if (reading_ahead && (!held.empty() || engine.seenAwaited())) {
      if (held.empty()) reporter.holdLines(true);
      held.push_back({command.number, listed_size, *link.lastReply()});
      held_bytes += held.back().reply.size();
      continue;
    }
    if (!judgeReply(command.number, listed_size, *link.lastReply())) return lostStep();
  }
}

int POP3::store(int number, int size, const Quarantine& quarantine, const std::string& field) {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();
  std::string problem;
  std::unique_ptr<Quarantine::Delivery> delivery = quarantine.begin(field, &problem);
  // The reply is read to its end whatever becomes of the file: the replies after it must stay in
  // step.
  // A message may be as large as the server says, with room for dot-stuffing; a server that
  // sends far more is not sending this message.
  const size_t limit = std::max(ReplyReader::kDefaultLimit, 2 * static_cast<size_t>(size));
  const long got = link.readMessage(
      [&delivery](std::string_view text) { return delivery && delivery->write(text); }, limit);
  if (got <= 0) {
    in_step_ = false;
    reporter.error(failure(Kind::kRetr), 1);
    return -1;
  }
  const std::string name = std::to_string(number);
  if (!positive(1)) {
    const std::string words =
        serverWordsLine(refusal_, false, "The server refused RETR " + name + ": ");
    refusal_.clear();
    reporter.error(words.empty() ? "The server refused RETR " + name + "." : words, 1);
    reporter.error("Message " + name + " is not quarantined and stays on the server.", 1);
    return 0;
  }
  if (delivery) {
    if (delivery->finish()) {
      reporter.print("Debugging: Message " + name + " is quarantined as new/" + delivery->name() +
                         ".",
                     6);
      return 1;
    }
    problem = delivery->problem();
  }
  reporter.error("Message " + name + " could not be quarantined: " + problem +
                     " It stays on the server.",
                 1);
  return 0;
}

int POP3::judge(int number, int count, int size, const std::string& reply,
                std::string* message_id) {
  Reporter& reporter = Reporter::instance();
  if (!Settings::instance().showHeaders().empty() && !reporter.writeHeaders(reply)) {
    reporter.error("Could not write headers to separate file.", 1);
  }
  // The header is parsed where it lies in the reply, past the status line; the reply is complete
  // up to its "." line, so no message is judged on half a header.
  std::string rebuilt;
  bool left_out = false;
  const std::optional<std::string_view> header_text = headerOf(reply, size, &rebuilt, &left_out);
  if (!header_text) {
    reporter.error("The header of message " + std::to_string(number) +
                       " has no empty line, yet is shorter than the message's " +
                       std::to_string(size) + " octets: the replies are out of step.",
                   1);
    return -2;
  }
  const std::string_view text = *header_text;
  if (left_out) {
    reporter.print("Debugging: The server sent more than the header of message " +
                       std::to_string(number) + "; what follows its empty line is not judged.",
                   6);
  }
  // Names the message for the verdict line that follows, so a log can be held against the server.
  if (Settings::instance().verbose() >= 5) {
    reporter.print("Message " + std::to_string(number) + " of " + std::to_string(count) + ", " +
                       std::to_string(size) + " octets:",
                   5);
  }
  MessageHeader header;
  header.setSize(size);
  const int parsed = parseHeader(text, &header);
  if (parsed < 0) {
    reporter.error("Parsing the header of message " + std::to_string(number) + " failed.", 1);
    return -2;
  }
  // Courier gives a client that has not said UTF8 a stand-in for a header with 8-bit text in it
  // (RFC 6856). Judged, the stand-in would condemn or keep the message for what it is not, so the
  // message is left as it is, and remembered by no state file.
  if (!utf8_on_ && isStandIn(header)) {
    reporter.print("Warning: Message " + std::to_string(number) +
                       ": the server sent a stand-in (\"Cannot display Unicode content\") instead "
                       "of its header, as it does for 8-bit header text without UTF8; the message "
                       "is not judged and stays on the server.",
                   1);
    return -1;
  }
  // Judged all the same, without a Message-ID for the duplicate check.
  if (header.wrongMessageId()) {
    reporter.error(wrongMessageIdNotice(std::to_string(number), header), 1);
  }
  const int verdict = FilterEngine::instance().filter(&header);
  *message_id = header.messageId();
  return verdict;
}
