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
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "dnsbl/dnsbl.h"
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
#include "protocol/scan_outbox.h"
#include "protocol/scan_parts.h"
#include "protocol/server_words.h"
#include "quarantine/header_digest.h"
#include "protocol/uidl_listing.h"
#include "quarantine/quarantine.h"
#include "report/progress.h"
#include "report/reporter.h"
#include "rules/rule_matcher.h"

namespace {

using Kind = PendingCommand::Kind;

// While this lives the session has nothing in flight, so that a wait for the accounts before it
// may keep it alive (POP3::keepAlive).
class Idle {
 public:
  explicit Idle(bool& flag) : flag_(flag) { flag_ = true; }
  ~Idle() { flag_ = false; }
  Idle(const Idle&) = delete;
  Idle& operator=(const Idle&) = delete;

 private:
  bool& flag_;
};

// The window where the server pipelines. 100 commands (50 messages, each LIST n and TOP n 0) keep
// a link with a round trip of 40 ms busy at well under a millisecond per message; 1 MiB of
// replies expected at once is what the socket buffers on both sides take without the server
// having to stop, and far below what a run may hold in memory anyway (only the reply being
// judged is kept).
constexpr size_t kPipelinedCommands = 100;
constexpr size_t kPipelinedBytes = size_t{1} << 20;
// Mail systems refuse messages far smaller; a server that lists more is not to be believed, and
// what it sends must not fill the disk.
constexpr size_t kLargestQuarantined = size_t{1} << 30;
// TOP replies read ahead while the judging waits for earlier accounts: past this many bytes held
// the scan waits too. Some 2,000 headers of common size; a job holds no more than this.
constexpr size_t kHeldBytes = size_t{8} << 20;

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


// Starts the block-list lookups of a TOP reply's header; one that cannot be parsed is judged
// (and refused) as it is, with no lookup.
uint64_t askLists(dnsbl::BlockLists& lists, const std::string& reply, int size) {
  std::string cut;
  const std::optional<std::string_view> text = headerOf(reply, size, &cut);
  MessageHeader header;
  header.setSize(size);
  if (!text || parseHeader(*text, &header) < 0) return 0;
  return lists.ask(header);
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
  // With DEL_DUPLICATES over several accounts each message's UIDL is held with its Message-ID:
  // an account that reaches an earlier one's mailbox again, under a name no address check sees
  // through (the same server on another port), shows it by the same message with the same UIDL
  // (see judge). Without UIDL from the server there is no such evidence.
  Settings& settings = Settings::instance();
  UidlListing own_ids;
  if (known != nullptr) {
    uidls_ = &known->listing();
  } else if (settings.delDuplicates() && settings.accounts().size() > 1) {
    if (!own_ids.read(*connection(), count, false)) {
      reporter.error("Error occurred while sending UIDL to server.", 1);
      return -1;
    }
    uidls_ = &own_ids;
  }
  struct Forget {
    const UidlListing*& uidls;
    ~Forget() { uidls = nullptr; }
  } forget{uidls_};
  int first = 1;
  if (known != nullptr) {
    // The messages kept before that lead the mailbox are passed over before anything else is
    // asked: where nothing is new, the session needs neither CAPA nor sizes.
    const Idle idle(idle_);
    const int passed = known->skipLeading(count);
    tally_.examined += passed;
    first = passed + 1;
  }
  evidence_ = {};
  int result = scanMessages(first, count);
  if (result == 0 && evidence_.seen > 0 && evidence_.seen == evidence_.listed) {
    reporter.error("Every message of this account has the unique id (UIDL) and Message-ID of a "
                   "message of an earlier account: it reaches the same mailbox again, so none of "
                   "its messages is deleted.",
                   1);
    result = -1;
  }
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
  scan::Outbox outbox(first, count, sizes);
  // With MAX_DELETE, the verdicts of the whole mailbox decide whether any DELE goes out, so none
  // does before the last message is judged.
  scan::DeletionLimit limit(Settings::instance().maxDelete(), count);
  if (limit.applies() && !Settings::instance().test()) outbox.withhold();
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
  auto judgeReply = [&](int number, int size, const std::string& reply, uint64_t ticket) {
    reading_ahead = false;
    std::string message_id;
    const int verdict = judge(number, count, size, reply, &message_id, ticket);
    --judging;
    if (verdict < -1) return false;
    ++tally_.examined;
    if (known != nullptr) known->judged(number, verdict, message_id);
    if (verdict == 1 && limit.applies()) limit.condemned(engine.lastCondemnedBy());
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
      const std::string account = options.user + "@" + options.host;
      const size_t status_end = reply.find('\n');
      ToStore entry{verdictFieldLine(engine.lastReason(), account, std::time(nullptr)), size,
                    replyHeaderDigest(status_end == std::string::npos
                                          ? std::string_view()
                                          : std::string_view(reply).substr(status_end + 1)),
                    ""};
      entry.tag = messageTag(account, size, entry.header_digest);
      std::string file;
      if (quarantine->holds(entry.tag, account, entry.header_digest, &file)) {
        // A run that stopped before its DELE stored it already.
        reporter.print("Debugging: Message " + std::to_string(number) +
                           " is in the quarantine already, as " + file + ".",
                       6);
        ++tally_.quarantined;
        outbox.deleteLater(number);
      } else {
        fields[number] = std::move(entry);
        outbox.retrieveLater(number, size);
      }
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
    uint64_t ticket;  // its block-list lookups; 0 for none
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
      if (key.empty()) continue;
      own.insert(key);
      const std::string_view uidl = uidls_ != nullptr ? uidls_->uidlOf(next.number) : "";
      if (!uidl.empty()) own.insert(SeenIds::messageKey(uidl, key));
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
      judged = judgeReply(next.number, next.size, next.reply, next.ticket);
    }
    held.clear();
    held_bytes = 0;
    reporter.releaseHeldLines(judged);
    return judged;
  };
  // With DNS block lists, each header's lookups start as it arrives, and the messages whose
  // answers are still out wait here, in order, while the replies after them are read: the
  // lookups take the time of the reading, not a round trip each. A message goes on to be judged
  // (or held) once its answers are in or its time is up.
  dnsbl::BlockLists* const lists = dnsbl::runLists();
  std::deque<Held> asking;
  size_t asking_bytes = 0;
  // A TOP reply read (or its answers come): judged, or held while the judging waits.
  auto takeReply = [&](int number, int size, const std::string& reply, uint64_t ticket) {
    if (reading_ahead && (!held.empty() || engine.seenAwaited())) {
      if (held.empty()) reporter.holdLines(true);
      held.push_back({number, size, reply, ticket});
      held_bytes += reply.size();
      return true;
    }
    return judgeReply(number, size, reply, ticket);
  };
  // Passes on the messages at the front whose answers are in; with wait, waits for all of them.
  auto passAnswered = [&](bool wait) {
    while (!asking.empty()) {
      if (wait) lists->await(asking.front().ticket);
      if (!lists->answered(asking.front().ticket)) return true;
      const Held next = std::move(asking.front());
      asking.pop_front();
      asking_bytes -= next.reply.size();
      if (!takeReply(next.number, next.size, next.reply, next.ticket)) return false;
    }
    return true;
  };
  // Before an error is reported, what was read before it is judged.
  // One after another, each condemned message's DELE (or RETR) would have gone out before the
  // next command; those that judging queues here count as sent, so that the session is withdrawn
  // with the same lines (see the account check).
  auto settleRead = [&] {
    const int before = outbox.queued();
    const bool judged = passAnswered(true) && (held.empty() || judgeHeld());
    tally_.marked += outbox.queued() - before;
    return judged;
  };
  // The trace does not read ahead: it waits for its turn before its first command.
  if (traced && engine.seenAwaited()) {
    const Idle idle(idle_);
    engine.awaitSeen();
  }
  for (;;) {
    if (!asking.empty() && !passAnswered(asking_bytes >= kHeldBytes)) return lostStep();
    // Once the turn has come (or the bytes held are many) what was held is judged, so that its
    // DELEs go out with the next sending.
    if (!held.empty() && !engine.seenAwaited() && !judgeHeld()) return lostStep();
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
    // Past kHeldBytes held nothing more is asked: the window drains, and the judging waits.
    if (held_bytes < kHeldBytes &&
        (window.empty() || traced || !link.replyBuffered(multiLine(window.oldest().kind)))) {
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
      if (!settleRead()) return -1;
      reporter.error(failure(*first_kind), 1);
      return -1;
    }
    if (window.empty() && !asking.empty()) {
      // Nothing more to read meanwhile: the next message's answers are waited for.
      if (!passAnswered(true)) return lostStep();
      continue;
    }
    if (window.empty() && !held.empty()) {
      // Nothing more to read ahead: the judging waits for its turn now. Every message of the
      // account is here, so the Message-IDs its judging will add to those seen are known, and
      // the accounts after it need not wait for that judging too.
      if (known == nullptr && outbox.allAsked()) announceSeen();
      const Idle idle(idle_);
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
      // Every verdict is in: the deletions held back go out now, or none does.
      if (limit.exceeded()) {
        reporter.error(limit.refusal(settings.test()), 1);
        return -1;
      }
      if (outbox.withholding()) {
        outbox.release();
        continue;
      }
      return 0;
    }

    // Take the next reply: it answers the oldest command in flight.
    const PendingCommand command = window.answered();
    if (command.kind == Kind::kRetr) {
      const auto held = fields.find(command.number);
      const int stored = store(command.number, *quarantine, held->second);
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
    if (!positive(got) && !settleRead()) return lostStep();
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
        if (!settleRead()) return lostStep();
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
    // waits for earlier accounts, the reply is held instead; while its block-list answers are
    // out, it waits for them. The dialogue's trace (verbosity 6) waits for them at once.
    const std::string& reply = *link.lastReply();
    uint64_t ticket = 0;
    if (lists != nullptr) {
      ticket = askLists(*lists, reply, listed_size);
      if (traced) lists->await(ticket);
      if (!asking.empty() || !lists->answered(ticket)) {
        asking.push_back({command.number, listed_size, reply, ticket});
        asking_bytes += reply.size();
        continue;
      }
    }
    if (!takeReply(command.number, listed_size, reply, ticket)) return lostStep();
  }
}
