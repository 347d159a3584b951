// One message of the scan: its TOP reply judged, and a condemned message's RETR stored in the
// quarantine only when it is the message that was judged.

#include "protocol/pop3.h"

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
#include "protocol/replies.h"
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

// How much larger than listed a message's copy may be at least (see POP3::store).
constexpr size_t kCopySlack = size_t{64} << 10;

// Whether header is the stand-in a server sends for one it will not show without UTF8.
bool isStandIn(const MessageHeader& header) {
  return header.subject().find("Cannot display Unicode content") != std::string::npos &&
         header.from().find("Mail Delivery Subsystem") != std::string::npos;
}

}  // namespace

int POP3::store(int number, const Quarantine& quarantine, const ToStore& judged) {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();
  std::string problem;
  std::unique_ptr<Quarantine::Delivery> delivery =
      quarantine.begin(judged.field, &problem, judged.tag);
  // The copy must be the message that was judged: its header the one TOP gave, its size near the
  // listed one. LIST sizes are a little off on some servers (too small where the server counts
  // its file's LF line ends), so the copy may be larger by the listed size or 64 KiB, whichever
  // is more; past that no more is read. It may be smaller by a sixteenth and 512 octets (header
  // fields a server keeps to itself), not more: a header alone is not the message.
  const size_t size = static_cast<size_t>(judged.size);
  const size_t largest = std::max(2 * size, size + kCopySlack);
  const size_t smallest = size - std::min(size, size / 16 + 512);
  HeaderDigest copy_header;
  size_t octets = 0;  // of the copy, counted with CR LF line ends as LIST counts them
  // The reply is read to its end whatever becomes of the file: the replies after it must stay in
  // step.
  const long got = link.readMessage(
      [&](std::string_view text) {
        copy_header.add(text);
        octets += text.size() + static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        // The copy is measured whole even when the file has failed, which is then the reason.
        if (delivery) delivery->write(text);
        return true;
      },
      largest + kShortReply);
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
  if (delivery && !delivery->problem().empty()) {
    problem = delivery->problem();
  } else if (!delivery) {
    // Why the file could not be made is in problem already.
  } else if (copy_header.value() != judged.header_digest) {
    problem = "The server's copy (RETR) has another header than the one judged (TOP).";
  } else if (octets < smallest || octets > largest) {
    problem = "The server's copy (RETR) is " + std::to_string(octets) + " octets long where LIST "
              "said " + std::to_string(size) + ".";
  } else if (delivery->finish()) {
    reporter.print("Debugging: Message " + name + " is quarantined as new/" + delivery->name() +
                       ".",
                   6);
    return 1;
  } else {
    problem = delivery->problem();
  }
  if (delivery) delivery->abandon();
  reporter.error("Message " + name + " could not be quarantined: " + problem +
                     " It stays on the server.",
                 1);
  return 0;
}

int POP3::judge(int number, int count, int size, const std::string& reply, std::string* message_id,
                uint64_t ticket) {
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
  // The same UIDL with the same Message-ID in an earlier account: it may be that very message,
  // reached again through another name of its mailbox, so it is never condemned as a copy of
  // itself. Two mailboxes may share a UIDL by chance; only when every message does is it the same
  // mailbox (see scan).
  const std::string_view uidl = uidls_ != nullptr ? uidls_->uidlOf(number) : "";
  if (!uidl.empty() && !header.messageId().empty()) {
    ++evidence_.listed;
    FilterEngine& engine = FilterEngine::instance();
    if (!engine.seeMessage(uidl, FilterEngine::seenKey(header.messageId()))) {
      ++evidence_.seen;
      engine.spareNextDuplicate();
      reporter.print("Warning: Message " + std::to_string(number) +
                         " has the unique id (UIDL) and Message-ID of a message of an earlier "
                         "account, so it may be that very message: it is not deleted as a "
                         "duplicate.",
                     1);
    }
  }
  // Judged all the same, without a Message-ID for the duplicate check.
  if (header.wrongMessageId()) {
    reporter.print("Warning: " + wrongMessageIdNotice(std::to_string(number), header), 4);
  }
  std::vector<dnsbl::Listing> listings;
  if (ticket != 0) listings = dnsbl::runLists()->take(ticket);
  const int verdict = FilterEngine::instance().filter(&header, listings);
  *message_id = header.messageId();
  return verdict;
}
