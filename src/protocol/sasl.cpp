#include <openssl/evp.h>

#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "net/connection.h"
#include "protocol/login_method.h"
#include "protocol/pop3.h"
#include "report/reporter.h"

namespace {

// Long enough for every error a provider sends; a hostile server cannot fill the log with one.
constexpr size_t kShownBytes = 200;

std::string toBase64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  text.resize(length < 0 ? 0 : static_cast<size_t>(length));
  return text;
}

std::optional<std::string> fromBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes(text.size() / 4 * 3 + 1, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  size_t size = static_cast<size_t>(length);
  // The decoder counts the bytes that padding stands for as zero bytes.
  for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;
  bytes.resize(size);
  return bytes;
}

// A user name inside the OAUTHBEARER header, where ',' and '=' have a meaning.
std::string saslName(std::string_view user) {
  std::string name;
  for (char c : user) {
    if (c == ',') {
      name += "=2C";
    } else if (c == '=') {
      name += "=3D";
    } else {
      name += c;
    }
  }
  return name;
}

std::string plainResponse(const LoginRequest& request) {
  return std::string(1, '\0') + request.user + '\0' + request.password;
}

std::string xoauth2Response(const LoginRequest& request) {
  return std::string("user=") + request.user + "\x01" "auth=Bearer " + request.password +
         "\x01\x01";
}

std::string oauthBearerResponse(const LoginRequest& request) {
  return "n,a=" + saslName(request.user) + ",\x01" "host=" + request.host +
         "\x01" "port=" + std::to_string(request.port) + "\x01" "auth=Bearer " +
         request.password + "\x01\x01";
}

// One SASL mechanism: its name, the client's response that carries the secret, and what the
// client answers when the server sends its error as a challenge, so that the server ends the
// dialogue with its final "-ERR" ("*" cancels where the mechanism has no such answer).
struct Mechanism {
  std::string_view name;
  std::string (*response)(const LoginRequest&);
  std::string_view after_error;
};

constexpr Mechanism kMechanisms[] = {
    {"PLAIN", plainResponse, "*"},
    {"XOAUTH2", xoauth2Response, ""},
    {"OAUTHBEARER", oauthBearerResponse, "AQ=="},
};

// "+" and a space or nothing: the server waits for the client's next line. "+OK" ends the login.
bool isContinuation(const std::string* reply) {
  return reply != nullptr && !reply->empty() && reply->front() == '+' &&
         !reply->starts_with("+OK");
}

// What an error challenge says: its decoded text when it is base64, else the text as sent.
std::string challengeText(const std::string& reply) {
  std::string_view text(reply);
  text.remove_prefix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  // Hidden before it is cut, so that no part of an echoed secret is left.
  std::string shown =
      Reporter::instance().withoutSecrets(fromBase64(text).value_or(std::string(text)));
  if (shown.size() > kShownBytes) shown = shown.substr(0, kShownBytes) + "...";
  return shown;
}

class SaslLogin : public LoginMethod {
 public:
  explicit SaslLogin(const Mechanism& mechanism) : mechanism_(mechanism) {}

  bool login(POP3& session, const LoginRequest& request) const override {
    Reporter& reporter = Reporter::instance();
    Connection& link = *session.connection();
    const std::string name(mechanism_.name);
    const std::string failed = "Error occurred while sending AUTH " + name + " to server.";
    if (!session.capabilities().offersSasl(name)) {
      reporter.error("The server does not offer AUTH " + name + "; it offers " +
                         session.capabilities().saslList() + ".",
                     1);
      return false;
    }
    // The response always follows the server's invitation on a line of its own: every server
    // takes that form, and some refuse the response on the AUTH line.
    if (!session.exchange("AUTH " + name + "\r\n") || !isContinuation(link.lastReply())) {
      reporter.error(failed, 1);
      session.reportRefusal(true);
      return false;
    }
    const std::string secret = mechanism_.response(request);
    const std::string encoded = toBase64(secret);
    // A server may send the response back in its challenge or its "-ERR" line.
    reporter.hideSecret(secret);
    reporter.hideSecret(encoded);
    reporter.hideSecret(toBase64(request.password));
    const std::string response = encoded + "\r\n";
    if (link.sendSecret(response.c_str(), 0) < 0) {
      reporter.error(failed, 1);
      return false;
    }
    std::string server_error;
    int got = link.readReply(false);
    for (int challenges = 0; got > 0 && isContinuation(link.lastReply()); ++challenges) {
      if (challenges == 1) {
        // Each read is bounded by the time-out; the number of rounds is bounded here.
        reporter.error(failed, 1);
        reporter.error("The server's AUTH dialogue does not end; the login is given up.", 1);
        link.sendCommand("*\r\n");
        return false;
      }
      server_error = challengeText(*link.lastReply());
      const std::string answer = std::string(mechanism_.after_error) + "\r\n";
      if (link.sendCommand(answer.c_str()) < 0) break;
      got = link.readReply(false);
    }
    if (session.positive(got)) return true;
    reporter.error(failed, 1);
    if (!server_error.empty()) reporter.error("The server's error: " + server_error, 1);
    session.reportRefusal(true);
    return false;
  }

 private:
  const Mechanism& mechanism_;
};

}  // namespace

const LoginMethod* saslLogin(std::string_view mechanism) {
  static const SaslLogin methods[] = {SaslLogin(kMechanisms[0]), SaslLogin(kMechanisms[1]),
                                      SaslLogin(kMechanisms[2])};
  static_assert(std::size(methods) == std::size(kMechanisms));
  for (size_t i = 0; i < std::size(kMechanisms); ++i) {
    if (kMechanisms[i].name == mechanism) return &methods[i];
  }
  return nullptr;
}
