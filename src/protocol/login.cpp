#include <string>

#include "config/protocol_codes.h"
#include "config/settings.h"
#include "net/connection.h"
#include "protocol/login_method.h"
#include "protocol/pop3.h"
#include "protocol/server_words.h"
#include "report/reporter.h"

const LoginMethod& POP3::ownLogin() const { return userPassLogin(); }

bool POP3::login(const char* user, const char* password) {
  Reporter& reporter = Reporter::instance();
  if (!openSession()) {
    reportGreeting();
    return false;
  }
  const LoginOptions& options = loginOptions();
  const LoginMethod* method = &ownLogin();
  if (!options.mechanism.empty()) {
    method = saslLogin(options.mechanism);
    if (method == nullptr) {
      reporter.error("Unknown login method " + options.mechanism + ".", 1);
      return false;
    }
  }
  // A server may quote what it was sent in its replies, which the log shows.
  if (password != nullptr) reporter.hideSecret(password);
  if (method->login(*this, {user, password, greeting_, options.host, options.port})) return true;
  reportGreeting();
  return false;
}

void POP3::reportGreeting() {
  // The login goes on after a negative greeting, but when it then fails, what the server said
  // first may be the reason.
  if (greeting_.empty() || greeting_.front() == '+') return;
  const std::string line = serverWordsLine(greeting_, true, "The server's greeting was: ");
  if (!line.empty()) Reporter::instance().error(line, 1);
}

bool POP3::readCapabilities() {
  // A server without CAPA answers "-ERR"; that is no failure, it simply lists nothing. No answer
  // at all ends the session: a reply that came late would be taken for the next command's.
  Connection& link = *connection();
  capabilities_ = Capabilities();
  if (link.sendCommand("CAPA\r\n") < 0) return false;
  const int got = link.readReply(true);
  if (got <= 0 || link.lastReply() == nullptr) return false;
  capabilities_ = Capabilities::parse(*link.lastReply());
  return true;
}

bool POP3::openSession() {
  Connection& link = *connection();
  greeting_.clear();
  capabilities_ = Capabilities();
  stat_asked_ = false;
  uidl_asked_ = false;
  utf8_on_ = false;
  after_login_read_ = false;
  after_login_ = Capabilities();
  login_not_tried_.clear();
  if (link.readReply(false) == -1) {
    // Silence, unlike a greeting that could not be read, is how a port that expects TLS from the
    // start looks.
    noLogin(link.pendingInput()
                ? "No login was tried: the server's greeting could not be read."
                : "No login was tried: no greeting came from the server (a port that expects TLS "
                  "from the start stays silent like this).");
    return false;
  }
  if (link.lastReply() != nullptr) greeting_ = *link.lastReply();

  // CAPA tells STLS, the SASL mechanisms and UTF8; a server without it answers "-ERR" and gets
  // the dialogue of old. PIPELINING = "no" asks for that dialogue command for command, so it is
  // asked only where STLS or AUTH need it.
  const bool ask = Settings::instance().pipelining() || protocolUsesStls(protocolType()) ||
                   !loginOptions().mechanism.empty();
  if (ask && !readCapabilities()) {
    noLogin("No login was tried: the server did not answer CAPA.");
    return false;
  }
  if (protocolUsesStls(protocolType()) && !upgrade()) {
    noLogin("No login was tried: the connection could not be encrypted with STLS.");
    return false;
  }
  // A server that replaces headers with raw 8-bit bytes by a stand-in sends them whole only to
  // a client that has said UTF8; said before the login where the server lists it then, else
  // after it (see prepareScan).
  if (capabilities_.has("UTF8")) utf8_on_ = exchange("UTF8\r\n");
  refusal_.clear();
  return true;
}

bool POP3::upgrade() {
  Reporter& reporter = Reporter::instance();
  Connection& link = *connection();

  // From here on nothing may go out in clear text but STLS itself.
  if (!capabilities_.has("STLS")) {
    reporter.error("The server does not offer STLS, so the account is skipped: the password "
                   "would go out in clear text.",
                   1);
    return false;
  }
  if (!exchange("STLS\r\n")) {
    reporter.error("Error occurred while sending STLS to server.", 1);
    reportRefusal(true);
    return false;
  }
  if (link.startTls() != 0) return false;
  // What the server said before the upgrade may have been forged on the way.
  return readCapabilities();
}
