#include "net/ca_file.h"

#include <openssl/err.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/tls.h"

std::string loadCaFile(SSL_CTX* context, const std::string& path) {
  ERR_clear_error();
  if (SSL_CTX_load_verify_locations(context, path.c_str(), nullptr) == 1) return "";
  // OpenSSL says only "system lib" for a file it cannot open; the system says why.
  std::string why;
  if (std::FILE* file = std::fopen(path.c_str(), "r")) {
    std::fclose(file);
    const char* reason = ERR_reason_error_string(ERR_peek_last_error());
    why = reason != nullptr ? reason : "no certificates in it";
  } else {
    why = std::strerror(errno);
  }
  ERR_clear_error();
  return why;
}

std::string caFileProblem(const std::string& path) {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                  &SSL_CTX_free);
  if (!context) {
    ERR_clear_error();
    return "no TLS context could be made";
  }
  return loadCaFile(context.get(), path);
}
