#include <string>

#include "net/connection.h"
#include "protocol/login_method.h"
#include "protocol/pop3.h"
#include "report/reporter.h"

namespace {

class UserPassLogin : public LoginMethod {
 public:
  bool login(POP3& session, const LoginRequest& request) const override {
    const std::string user = std::string("USER ") + request.user + "\r\n";
    const std::string pass = std::string("PASS ") + request.password + "\r\n";
    // A server that takes commands together and lists USER, which it does only where it takes a
    // password on this connection, gets PASS with USER: one round trip instead of two.
    if (session.pipelines() && session.capabilities().has("USER")) {
      return together(session, user + pass);
    }
    if (!session.exchange(user)) return refused(session, kUser);
    if (!session.exchange(pass)) return refused(session, kPass);
    return true;
  }

 private:
  static constexpr const char* kUser = "Error occurred while sending username to server.";
  static constexpr const char* kPass = "Error occurred while sending password to server.";

  static bool refused(POP3& session, const char* step) {
    Reporter::instance().error(step, 1);
    session.reportRefusal(true);
    return false;
  }

  static bool together(POP3& session, const std::string& commands) {
    if (!session.sendTogether(commands)) return refused(session, kUser);
    const int user_reply = session.read(false);
    if (!session.positive(user_reply)) {
      refused(session, kUser);
      // PASS is on its way: its reply is read too, so that nothing the server says is left
      // unread when the session ends, and whatever it says the login has failed.
      if (user_reply > 0) session.read(false);
      return false;
    }
    const int pass_reply = session.read(false);
    if (session.positive(pass_reply)) return true;
    refused(session, kPass);
    if (pass_reply <= 0) {
      // Some servers list PIPELINING, yet drop what came with the command they answer.
      Reporter::instance().error("The server did not answer PASS sent together with USER, as "
                                 "it offers PIPELINING; with PIPELINING = \"no\" every command "
                                 "waits for the reply before it.",
                                 1);
    }
    return false;
  }
};

// The password never crosses the wire, only the digest of the greeting's time stamp and it.
class ApopLogin : public LoginMethod {
 public:
  bool login(POP3& session, const LoginRequest& request) const override {
    const std::string& greeting = request.greeting;
    const size_t open = greeting.find('<');
    const size_t close = greeting.find('>', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) {
      session.noLogin("No login was tried: the server's greeting has no time stamp, which APOP "
                      "needs; use USER/PASS instead (PROTOCOL = \"POP3\", \"POP3/STLS\" or "
                      "\"POP3/SSL\").");
      return false;
    }

    const std::string digest =
        apopDigest(greeting.substr(open, close - open + 1), request.password);
    // Without a digest there is nothing to send; the server would refuse an empty one anyway.
    if (!digest.empty() &&
        session.exchange(std::string("APOP ") + request.user + " " + digest + "\r\n")) {
      return true;
    }
    Reporter::instance().error("APOP protocol initialisation error.", 1);
    session.reportRefusal(true);
    return false;
  }
};

}  // namespace

const LoginMethod& userPassLogin() {
  static const UserPassLogin method;
  return method;
}

const LoginMethod& apopLogin() {
  static const ApopLogin method;
  return method;
}
