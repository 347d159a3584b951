#pragma once

#include <openssl/ssl.h>

#include <string>

// For the TLS layer only: loads the certificates of a TLS_CA_FILE into context as the ones to
// trust; "" when done, else why not (the system's reason for a file that cannot be opened,
// OpenSSL's for one that holds no usable certificate).
std::string loadCaFile(SSL_CTX* context, const std::string& path);
