#include <openssl/evp.h>

#include <memory>
#include <string>

#include "protocol/login_method.h"
#include "protocol/pop3.h"
#include "text/hex.h"

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
  return lowerHex(digest, length);
}

const LoginMethod& APOP::ownLogin() const { return apopLogin(); }
