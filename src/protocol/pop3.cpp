#include "protocol/pop3.h"

#include <string>

#include "config/settings.h"
#include "net/connection.h"
#include "protocol/replies.h"
#include "protocol/server_words.h"
#include "report/reporter.h"

namespace {

std::string command(const char* keyword, int number) {
  return std::string(keyword) + std::to_string(number) + "\r\n";
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

int POP3::read(bool multiline) {
  const int got = connection()->readReply(multiline);
  if (got <= 0) in_step_ = false;
  return got;
}

void POP3::reportRefusal(bool login_step) {
  const std::string line = serverWordsLine(refusal_, login_step);
  refusal_.clear();
  if (!line.empty()) Reporter::instance().error(line, 1);
}

bool POP3::pipelines() const {
  return Settings::instance().pipelining() && capabilities_.has("PIPELINING");
}

bool POP3::sendTogether(const std::string& commands) {
  refusal_.clear();
  return connection()->sendCommands(commands) >= 0;
}

bool POP3::exchange(const std::string& text, bool multiline) {
  Connection& link = *connection();
  refusal_.clear();
  if (link.sendCommand(text.c_str()) < 0) return false;
  return positive(read(multiline));
}

bool POP3::keepAlive() {
  if (!idle_) return true;
  return exchange("NOOP\r\n");
}

bool POP3::quit() {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();
  static constexpr const char* kUnconfirmed = "; the deletions may not have been carried out.";
  // From here on an interrupt may no longer say the deletions are left undone.
  deletions_awaiting_quit = 0;
  if (link.sendCommand("QUIT\r\n") < 0) {
    reporter.error(std::string("QUIT could not be sent") + kUnconfirmed, 1);
    return false;
  }
  // Once a reply went astray, the next one read need not be QUIT's: the account has failed
  // already, and QUIT is only sent.
  if (!in_step_) return true;
  const int got = read(false);
  if (positive(got)) return true;
  if (got > 0 && link.lastReply() != nullptr) {
    reporter.error("The server answered QUIT with \"" + std::string(statusLine(*link.lastReply())) +
                       "\"" + kUnconfirmed,
                   1);
  } else {
    reporter.error(std::string("The server did not answer QUIT") + kUnconfirmed, 1);
  }
  return false;
}

void POP3::withdraw() {
  // RSET unmarks every message. Its reply is not read: the replies may be out of step, and the
  // session ends without QUIT anyway, which by itself leaves every message in place.
  connection()->sendCommand("RSET\r\n");
}

int POP3::deleteMessage(int number) {
  if (Settings::instance().test()) {
    Reporter::instance().print("Debugging: Simulating DELE command.", 6);
    return 0;
  }
  Connection& link = *connection();
  if (link.sendCommand(command("DELE ", number).c_str()) < 0) return -1;
  // A refused DELE has been traced; the message simply stays.
  read(false);
  return 0;
}

int POP3::status() {
  // STAT opens the transaction state, where every reply is read in turn.
  in_step_ = true;
  counted_ = -1;
  // A server that pipelines gets the first STAT together with what the scan asks next: UIDL
  // with the state file, whose reply the scan reads; without it, CAPA after the login where the
  // scan needs it. (With the state file a repeat run often fetches nothing, and so asks no CAPA.)
  const bool first = !stat_asked_ && pipelines();
  const bool with_uidl = first && incremental() != nullptr;
  const bool with_capa =
      first && !with_uidl && !after_login_read_ && wantsCapabilitiesAfterLogin();
  stat_asked_ = true;
  bool answered = false;
  if (with_capa || with_uidl) {
    const bool sent = sendTogether(std::string("STAT\r\n") + (with_capa ? "CAPA\r\n" : "") +
                                   (with_uidl ? "UIDL\r\n" : ""));
    uidl_asked_ = sent && with_uidl;
    answered = sent && positive(read(false));
    // Replies are still to come: whatever is read next would be taken for another's.
    if (!answered) in_step_ = false;
  } else {
    answered = exchange("STAT\r\n");
  }
  if (!answered) {
    reportRefusal(false);
    return -1;
  }
  const int count = statCount(*connection()->lastReply());
  if (with_capa && !readCapabilitiesAfterLogin()) {
    Reporter::instance().error("Error occurred while sending CAPA to server.", 1);
    return -1;
  }
  counted_ = count;
  return counted_;
}

bool POP3::wantsCapabilitiesAfterLogin() const {
  return !utf8_on_ || (Settings::instance().pipelining() && !pipelines());
}

bool POP3::readCapabilitiesAfterLogin() {
  Connection& link = *connection();
  const int got = read(true);
  if (got <= 0 || link.lastReply() == nullptr) return false;
  // A server without CAPA says "-ERR": it lists nothing.
  after_login_ = Capabilities::parse(*link.lastReply());
  after_login_read_ = true;
  return true;
}

bool POP3::prepareScan() {
  if (!after_login_read_ && wantsCapabilitiesAfterLogin()) {
    if (connection()->sendCommand("CAPA\r\n") < 0 || !readCapabilitiesAfterLogin()) {
      Reporter::instance().error("Error occurred while sending CAPA to server.", 1);
      return false;
    }
  }
  // A proxy lists the capabilities of the server behind it only after the login, and passes
  // UTF8 on to it then. A refusal leaves the stand-in check of the scan on guard.
  if (!utf8_on_ && after_login_.has("UTF8")) {
    utf8_on_ = exchange("UTF8\r\n");
    if (!in_step_) {
      Reporter::instance().error("Error occurred while sending UTF8 to server.", 1);
      return false;
    }
    refusal_.clear();
  }
  return true;
}
