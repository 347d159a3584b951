#include "protocol/pop3.h"

#include <cctype>
#include <climits>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "filter/filter_engine.h"
#include "header/message_header.h"
#include "header/parse_header.h"
#include "net/connection.h"
#include "protocol/server_words.h"
#include "report/reporter.h"

namespace {

// The leading decimal digits of text as a count; 0 without digits, INT_MAX when too large.
int leadingNumber(std::string_view text) {
  long long value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

// The count of a STAT reply: the leading digits of its second word, or of its only word.
int statCount(std::string_view reply) {
  std::string_view words[2];
  size_t found = 0;
  size_t at = 0;
  while (found < 2) {
    while (at < reply.size() && std::isspace(static_cast<unsigned char>(reply[at]))) ++at;
    if (at == reply.size()) break;
    const size_t start = at;
    while (at < reply.size() && !std::isspace(static_cast<unsigned char>(reply[at]))) ++at;
    words[found++] = reply.substr(start, at - start);
  }
  return leadingNumber(words[found > 1 ? 1 : 0]);
}

// The size of a LIST reply: the number after its last space, or the whole reply without one.
int listSize(std::string_view reply) {
  const size_t space = reply.rfind(' ');
  return leadingNumber(space == std::string_view::npos ? reply : reply.substr(space + 1));
}

std::string command(const char* keyword, int number, const char* tail = "\r\n") {
  return std::string(keyword) + std::to_string(number) + tail;
}

}  // namespace

bool POP3::positive(int read_result) {
  const std::string* reply = connection()->lastReply();
  refusal_.clear();
  if (read_result <= 0 || reply == nullptr) return false;
  if (!reply->empty() && reply->front() == '+') return true;
  refusal_ = *reply;
  return false;
}

void POP3::reportRefusal(bool login_step) {
  const std::string line = serverWordsLine(refusal_, login_step);
  refusal_.clear();
  if (!line.empty()) Reporter::instance().error(line, 1);
}

bool POP3::exchange(const std::string& text, bool multiline) {
  Connection& link = *connection();
  refusal_.clear();
  if (link.sendCommand(text.c_str()) < 0) return false;
  return positive(link.readReply(multiline));
}

bool POP3::quit() { return connection()->sendCommand("QUIT\r\n") >= 0; }

int POP3::deleteMessage(int number) {
  if (Settings::instance().test()) {
    Reporter::instance().print("Debugging: Simulating DELE command.", 6);
    return 0;
  }
  Connection& link = *connection();
  if (link.sendCommand(command("DELE ", number).c_str()) < 0) return -1;
  // A refused DELE has been traced; the message simply stays.
  link.readReply(false);
  return 0;
}

int POP3::status() {
  if (!exchange("STAT\r\n")) {
    reportRefusal(false);
    return -1;
  }
  return statCount(*connection()->lastReply());
}

int POP3::scan() {
  tally_ = {};
  const int count = status();
  if (count < 0) {
    Reporter::instance().error("Error occurred while sending STAT to server.", 1);
    return -1;
  }
  for (int number = 1; number <= count; ++number) {
    if (scanMessage(number) < 0) return -1;
  }
  return 0;
}

int POP3::scanMessage(int number) {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();
  MessageHeader header;

  if (!exchange(command("LIST ", number))) {
    reporter.error("Error occurred while sending LIST to server.", 1);
    reportRefusal(false);
    return -1;
  }
  header.setSize(listSize(*link.lastReply()));

  // The reply is complete up to its "." line or it is not judged at all, so no message is ever
  // deleted on the strength of half a header.
  const ReplyLimit header_limit(link, kHeaderReplyLimit);
  if (!exchange(command("TOP ", number, " 0\r\n"), true)) {
    reporter.error("Error occurred while sending TOP to server.", 1);
    reportRefusal(false);
    return -1;
  }
  const std::string& reply = *link.lastReply();
  if (!Settings::instance().showHeaders().empty() && !reporter.writeHeaders(reply)) {
    reporter.error("Could not write headers to separate file.", 1);
  }

  // The header is parsed where it lies in the reply, past the status line.
  std::string_view text(reply);
  const size_t line_feed = text.find('\n');
  if (line_feed != std::string_view::npos) text.remove_prefix(line_feed + 1);
  const int parsed = parseHeader(text, &header);
  if (parsed < 0) {
    reporter.error("Parsing the header of message " + std::to_string(number) + " failed.", 1);
    if (parsed == kWrongMessageId) {
      reporter.error(wrongMessageIdNotice(std::to_string(number), text), 1);
    }
    return -1;
  }
  ++tally_.examined;
  if (FilterEngine::instance().filter(&header) == 1 && deleteMessage(number) == 0) ++tally_.deleted;
  return 0;
}
