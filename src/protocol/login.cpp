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
  if (link.readReply(false) == -1) return false;
  if (link.lastReply() != nullptr) greeting_ = *link.lastReply();

  // CAPA tells STLS, the SASL mechanisms and UTF8; a server without it answers "-ERR" and gets
  // the dialogue of old. PIPELINING = "no" asks for that dialogue command for command, so it is
  // asked only where STLS or AUTH need it.
  const bool ask = Settings::instance().pipelining() || protocolUsesStls(protocolType()) ||
                   !loginOptions().mechanism.empty();
  if (ask && !readCapabilities()) return false;
  if (protocolUsesStls(protocolType()) && !upgrade()) return false;
  // A server that replaces headers with raw 8-bit bytes by a stand-in sends them whole only to
  // a client that has said UTF8, which it may say only before the login.
  if (capabilities_.has("UTF8")) exchange("UTF8\r\n");
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
