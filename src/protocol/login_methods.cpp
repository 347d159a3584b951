#include <string>

#include "net/connection.h"
#include "protocol/login_method.h"
#include "protocol/pop3.h"
#include "report/reporter.h"

namespace {

class UserPassLogin : public LoginMethod {
 public:
  bool login(POP3& session, const LoginRequest& request) const override {
    Reporter& reporter = Reporter::instance();
    if (!session.exchange(std::string("USER ") + request.user + "\r\n")) {
      reporter.error("Error occurred while sending username to server.", 1);
      session.reportRefusal(true);
      return false;
    }
    if (!session.exchange(std::string("PASS ") + request.password + "\r\n")) {
      reporter.error("Error occurred while sending password to server.", 1);
      session.reportRefusal(true);
      return false;
    }
    return true;
  }
};

// The password never crosses the wire, only the digest of the greeting's time stamp and it.
class ApopLogin : public LoginMethod {
 public:
  bool login(POP3& session, const LoginRequest& request) const override {
    const std::string& greeting = request.greeting;
    const size_t open = greeting.find('<');
    if (open == std::string::npos) return false;
    const size_t close = greeting.find('>', open);
    if (close == std::string::npos) return false;

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
