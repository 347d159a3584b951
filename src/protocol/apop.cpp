#include <openssl/evp.h>

#include <memory>
#include <string>

#include "net/connection.h"
#include "protocol/pop3.h"
#include "report/reporter.h"

namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

}  // namespace

std::string apopDigest(const std::string& time_stamp, const std::string& password) {
  const DigestContext context(EVP_MD_CTX_new());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), time_stamp.data(), time_stamp.size()) != 1 ||
      EVP_DigestUpdate(context.get(), password.data(), password.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    return std::string();
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xf];
  }
  return text;
}

bool APOP::login(const char* user, const char* password) {
  Connection& link = *connection();
  if (link.readReply(false) == -1 || link.lastReply() == nullptr) return false;
  const std::string& greeting = *link.lastReply();
  const size_t open = greeting.find('<');
  if (open == std::string::npos) return false;
  const size_t close = greeting.find('>', open);
  if (close == std::string::npos) return false;

  const std::string digest = apopDigest(greeting.substr(open, close - open + 1), password);
  // Without a digest there is nothing to send; the server would refuse an empty one anyway.
  if (!digest.empty() && exchange(std::string("APOP ") + user + " " + digest + "\r\n")) {
    return true;
  }
  Reporter::instance().error("APOP protocol initialisation error.", 1);
  return false;
}
