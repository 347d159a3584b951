#pragma once

#include <string>
#include <string_view>

class POP3;

// What a login method is given: the credentials, the server's greeting (the APOP time stamp) and
// where the server is (OAUTHBEARER names it).
struct LoginRequest {
  const char* user;
  const char* password;
  const std::string& greeting;
  const std::string& host;
  int port;
};

// One way of logging in on a greeted (and, for STLS, already encrypted) POP3 session. The
// methods are interchangeable; the account's settings choose one.
class LoginMethod {
 public:
  virtual ~LoginMethod() = default;
  // True when the server accepted the login; false after the lines that say why.
  virtual bool login(POP3& session, const LoginRequest& request) const = 0;
};

const LoginMethod& userPassLogin();
const LoginMethod& apopLogin();
// The SASL mechanism of that name (PLAIN, XOAUTH2, OAUTHBEARER; upper case), or null.
const LoginMethod* saslLogin(std::string_view mechanism);
