#pragma once

#include <openssl/x509.h>

#include <string>
#include <vector>

#include "net/connection.h"

// What the TLS layer tells about a server's certificate; private to the network layer.

// A host as the certificate must name it: an IP literal's address bytes (any form the resolver
// takes, an IPv6 zone aside), or else a DNS name without the final dot of its absolute form.
struct HostName {
  std::vector<unsigned char> address;
  std::string dns;
};
HostName parseHost(const char* host);

// The SHA-256 fingerprint as 64 lowercase hexadecimal digits, the form TLS_FINGERPRINT is
// compared in; empty when there is no certificate.
std::string certificateFingerprint(X509* certificate);

// Fills what peer says about the certificate: names (and whether they include host), issuer,
// dates, fingerprint.
void describeCertificate(X509* certificate, const char* host, TlsPeer& peer);

// Why a certificate failed verification for host and what the user can do, as lines to follow
// the failure: its names, its issuer and dates, its fingerprint as a TLS_FINGERPRINT statement,
// then the advice that fits codes (OpenSSL's verification errors seen). pinned: TLS_FINGERPRINT
// named another certificate.
std::vector<std::string> explainFailure(X509* certificate, const char* host,
                                        const std::vector<int>& codes, bool pinned);
